#include "shader/ShaderServer.h"

#include <cstdlib>

#include "framework/FloatingPoint.h"
#include "framework/Services.h"
#include "module/ServerTable.h"
#include "panels/InterfaceActivation.h"
#include "shader/RayRegistry.h"

namespace velorastin {

ShaderServer::ShaderServer(const char* name, int32_t interfaceFlag, host::ActivateFunc activate) {
    serverName = name;
    if (registerServer(host::kShaderHandlerClass, name, activate) && interfaceFlag)
        registerServer(host::kShaderInterfaceClass, name, interfaceActivation);
}

ShaderServer::ShaderServer() { buildTemplates(); }

ShaderServer::~ShaderServer() = default;  // templates go second then first, as members do

void ShaderServer::buildTemplates() {
    auto* record = static_cast<host::SampleAccess*>(std::malloc(sizeof(host::SampleAccess)));
    if (!record) throw std::bad_alloc();
    fillDefaultRecord(*record);
    try {
        ShadingSample temporary(this, record);
        transparentTemplate.assignFrom(temporary);
    } catch (...) {
        // Only when memory runs out (which no test provokes): the create entry
        // then answers null, and the record must not be lost.
        std::free(record);
        throw;
    }
    std::free(record);
    transparentTemplate.viewerMode = Ordinary;
    transparentTemplate.nodeKind = 0;
    opaqueTemplate.assignFrom(transparentTemplate);
    opaqueTemplate.access->transparency = 0.0;
    opaqueTemplate.unpack();
}

void ShaderServer::copyFrom(const ServerObject& other) {
    if (const auto* source = dynamic_cast<const ShaderServer*>(&other)) {
        cachedLight = source->cachedLight;
        transparentTemplate.assignFrom(source->transparentTemplate);
        opaqueTemplate.assignFrom(source->opaqueTemplate);
        flags = source->flags;
        handlesLightRays = source->handlesLightRays;
        classificationDisabled = source->classificationDisabled;
    }
    HandlerServer::copyFrom(other);
}

void ShaderServer::prepareTime() {
    if (!renderMemory) return;
    auto* block = static_cast<host::RayCallList**>(renderMemory->find(host::kRayCallListKey));
    if (!block) {
        block = static_cast<host::RayCallList**>(renderMemory->create(host::kRayCallListKey, sizeof(void*)));
        // A block that could not be made leaves the instance without a registry.
        if (!block) {
            rayCallList = nullptr;
            return;
        }
        *block = &ownRayCallList.list;
    } else if (!*block) {
        *block = &ownRayCallList.list;
    }
    rayCallList = *block;
}

ErrorText ShaderServer::newTime(int32_t, double) {
    if (handlesLightRays || (flags & kClassifyFlag)) classificationDisabled = 0;
    return nullptr;
}

void ShaderServer::evaluateLightRay(ShadingSample*) {}
void ShaderServer::evaluateSpecial(ShadingSample* sample) { evaluate(sample); }
void ShaderServer::evaluate(ShadingSample*) {}

int32_t shaderActivation(int32_t version, host::GlobalLookup lookup, void* table, void*,
                         host::CreateEntry create) noexcept {
    if (version < 1 || version > 2) return 1;
    auto* handler = static_cast<host::ShaderHandler*>(table);
    handler->create = create;
    handler->destroy = destroyEntry;
    handler->copy = copyEntry;
    handler->load = loadEntry;
    handler->save = saveEntry;
    handler->init = initEntry;
    handler->cleanup = cleanupEntry;
    handler->newTime = shaderNewTimeEntry;
    handler->evaluate = shaderEvaluateEntry;
    handler->flags = shaderFlagsEntry;
    if (version == 2) handler->describe = describeEntry;
    globalLookup = lookup;
    return 0;
}

namespace {
ShaderServer* shaderOf(host::Instance instance) { return static_cast<ShaderServer*>(serverOf(instance)); }
} // namespace

host::ErrorText shaderNewTimeEntry(host::Instance instance, int32_t frame, double time) noexcept {
    const FloatingPointGuard settings;
    ShaderServer* shader = shaderOf(instance);
    if (ErrorText error = shader->advanceTime(frame, time)) return error;
    shader->cachedLight = 0;
    return shader->newTime(frame, time);
}

void shaderEvaluateEntry(host::Instance instance, host::SampleAccess* record) noexcept {
    const FloatingPointGuard settings;
    ShaderServer* shader = shaderOf(instance);
    try {
        ShadingSample sample(shader, record);
        classify(sample);
        if (shader->handlesLightRays && sample.viewerMode == LightRay)
            shader->evaluateLightRay(&sample);
        else if (sample.viewerMode == SpecialItem)
            shader->evaluateSpecial(&sample);
        else
            shader->evaluate(&sample);
        sample.writeBack();
    } catch (...) {
        // Without memory for the sample the record is left as the host gave it.
    }
}

uint32_t shaderFlagsEntry(host::Instance instance) noexcept { return shaderOf(instance)->flags; }

} // namespace velorastin
