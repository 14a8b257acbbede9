// The module-wide objects whose order of construction matters, defined in
// ModuleObjects.cpp in load order.
#pragma once

#include "servers/DisplayEncodeFilter.h"
#include "servers/LinearizeShader.h"

namespace velorastin {

// The server prototypes: each registers its row of the server table while the
// library loads and is used for nothing else.
extern LinearizeShader shaderPrototype;
extern DisplayEncodeFilter filterPrototype;

} // namespace velorastin
