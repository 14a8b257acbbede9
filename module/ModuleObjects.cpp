// The module-wide objects whose order of construction matters, in load order.
// They are built, in this order, when the library is attached and destroyed in
// reverse order when it is detached. Keep them in this one file: the order of
// static construction across files is unspecified.
#include "module/ModuleObjects.h"

#include "framework/SceneContext.h"
#include "framework/Vec3.h"
#include "shader/RayRegistry.h"

namespace __gnu_cxx {
void __freeres() noexcept;  // frees the C++ runtime's emergency exception buffer
} // namespace __gnu_cxx

namespace velorastin {

namespace {

// The module carries its own copy of the C++ runtime, which allocates an
// emergency exception buffer at load and never frees it. Built before
// everything below, so destroyed after everything: each unload gives it back.
struct RuntimeRelease {
    ~RuntimeRelease() { __gnu_cxx::__freeres(); }
} runtimeRelease;

} // namespace

// 1, 2: the server prototypes register rows 0 and 1 of the server table.
// Each also makes itself the scene context's current server before the
// scene context is built below.
LinearizeShader shaderPrototype(LinearizeShader::kName, 0, &shaderActivationOf<LinearizeShader>);
DisplayEncodeFilter filterPrototype(DisplayEncodeFilter::kName, 0, &filterActivationOf<DisplayEncodeFilter>);

// 3: the scene snapshot.
SceneContext sceneContext;

// 4: the named constants.
const Vec3 origin(0.0, 0.0, 0.0);
const Vec3 upVector(0.0, 1.0, 0.0);
const Vec3 white(1.0, 1.0, 1.0);

// 5: the module's own ray-caller list.
OwnRayCallList ownRayCallList;

} // namespace velorastin
