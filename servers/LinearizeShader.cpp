#include "servers/LinearizeShader.h"

#include <cmath>

namespace velorastin {

LinearizeShader::LinearizeShader() {
    serverName = kName;
    flags = kFlags;
}

LinearizeShader::~LinearizeShader() = default;

void LinearizeShader::evaluateSpecial(ShadingSample*) {}

void LinearizeShader::evaluate(ShadingSample* sample) {
    Vec3& c = sample->colour;
    c.x = std::pow(c.x, kExponent);
    c.y = std::pow(c.y, kExponent);
    c.z = std::pow(c.z, kExponent);
}

} // namespace velorastin
