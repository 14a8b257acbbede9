// The server classes a host knows, the servers this host knows by name, and
// their documented results: for them the validator compares bytes and call
// sequences exactly.
#pragma once

#include <cstdint>
#include <string>

#include "host/ModuleRecords.h"
#include "host/SampleAccess.h"

namespace refhost::check {

// The server classes a host binds rows of: a row of any other class names a
// server no host ever sees.
inline constexpr const char* kKnownClasses[] = {host::kShaderHandlerClass, host::kImageFilterHandlerClass,
                                                host::kShaderInterfaceClass, host::kImageFilterInterfaceClass};

// Whether a host binds rows of `className`.
bool knownClass(const std::string& className);
// "ShaderHandler, ImageFilterHandler, ..."
std::string knownClassList();

inline constexpr char kLinearizeShaderName[] = "VelorastinShader";
inline constexpr char kDisplayEncodeFilterName[] = "VelorastinFilter";

// The display-encoding filter's output for one colour byte: the integer part
// of 255 * (v * 1/255)^(1/2.2), with the documented doubles.
uint8_t displayEncode(uint8_t colour);

// The linearising shader's record after evaluate: every colour component
// raised to the double nearest 2.2 by the C library's pow, except on special
// items (0x7FFF in the item id's low 16 bits); nothing else changes.
void linearize(host::SampleAccess& sample);

} // namespace refhost::check
