// Base of every surface shader ("ShaderHandler"): the evaluate path from the
// host's record through classification to one evaluate operation and back.
#pragma once

#include <cstdint>

#include "framework/Adaptors.h"
#include "framework/HandlerServer.h"
#include "host/HandlerTables.h"
#include "host/ModuleRecords.h"
#include "host/RayRegistry.h"
#include "shader/ShadingSample.h"

namespace velorastin {

class ShaderServer : public HandlerServer {
public:
    static constexpr uint32_t kClassifyFlag = 0x400;  // in `flags`: switches the classification on

    // A prototype: names the server and registers its row (and, when asked, its
    // interface row) in the server table.
    ShaderServer(const char* name, int32_t interfaceFlag, host::ActivateFunc activate);
    // An instance the host creates: builds both template samples.
    ShaderServer();
    ~ShaderServer() override;

    void copyFrom(const ServerObject& other) override;
    void prepareTime() override;  // attaches the shared ray-caller registry
    ErrorText newTime(int32_t frame, double time) override;

    virtual void evaluateLightRay(ShadingSample* sample);
    virtual void evaluateSpecial(ShadingSample* sample);  // defaults to evaluate
    virtual void evaluate(ShadingSample* sample);

    host::RayCallList* rayCallList = nullptr;
    host::ItemId cachedLight = 0;  // where the next light walk starts
    ShadingSample transparentTemplate;
    ShadingSample opaqueTemplate;
    uint32_t flags = 0;
    int32_t handlesLightRays = 0;
    int32_t classificationDisabled = 1;

private:
    void buildTemplates();
};

// Fills a "ShaderHandler" table for versions 1 and 2; 1 for any other version.
int32_t shaderActivation(int32_t version, host::GlobalLookup lookup, void* table, void* serverData,
                         host::CreateEntry create) noexcept;

// The activation a concrete shader class registers.
template <class Shader>
int32_t shaderActivationOf(int32_t version, host::GlobalLookup lookup, void* table, void* serverData) {
    return shaderActivation(version, lookup, table, serverData, &createEntry<Shader>);
}

host::ErrorText shaderNewTimeEntry(host::Instance instance, int32_t frame, double time) noexcept;
void shaderEvaluateEntry(host::Instance instance, host::SampleAccess* record) noexcept;
uint32_t shaderFlagsEntry(host::Instance instance) noexcept;

} // namespace velorastin
