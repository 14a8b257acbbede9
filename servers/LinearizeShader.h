// "VelorastinShader": raises every shaded colour to the power 2.2 before the
// host lights it, turning gamma-encoded colours into linear light.
#pragma once

#include "shader/ShaderServer.h"

namespace velorastin {

class LinearizeShader : public ShaderServer {
public:
    static constexpr const char kName[] = "VelorastinShader";
    static constexpr uint32_t kFlags = 2;
    static constexpr double kExponent = 2.2;

    using ShaderServer::ShaderServer;  // the prototype constructor
    LinearizeShader();
    ~LinearizeShader() override;

    // Special items keep their colour.
    void evaluateSpecial(ShadingSample* sample) override;
    void evaluate(ShadingSample* sample) override;
};

} // namespace velorastin
