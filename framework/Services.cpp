#include "framework/Services.h"

#include "framework/HandlerServer.h"

namespace velorastin {

host::GlobalLookup globalLookup = nullptr;

void* infoMessages = nullptr;
host::SceneInfo* sceneInfo = nullptr;
host::ItemInfo* itemInfo = nullptr;
host::LightInfo* lightInfo = nullptr;
host::CameraInfo* cameraInfo = nullptr;
void* objectInfo = nullptr;
void* globalMemory = nullptr;
host::RenderMemory* renderMemory = nullptr;
void* objectAccess = nullptr;
void* objectHelp = nullptr;

namespace {

// Looks a service up and stores the answer, also when it is null.
template <class Record>
bool acquire(const char* name, Record*& slot) {
    slot = static_cast<Record*>(globalLookup(name, 0));
    return slot != nullptr;
}

} // namespace

ErrorText acquireInfoMessages() {
    // An interface activation can run init before any handler activation has
    // given the module a lookup function.
    if (!globalLookup) return messages::kNoInfoMessages;
    if (!acquire(host::kInfoMessagesService, infoMessages)) return messages::kNoInfoMessages;
    return nullptr;
}

ErrorText acquireHandlerServices(HandlerServer& server) {
    if (!globalLookup) return messages::kNoInfoMessages;
    if (!acquire(host::kSceneInfoService, sceneInfo)) return messages::kNoSceneInfo;
    if (!acquire(host::kItemInfoService, itemInfo)) return messages::kNoItemInfo;
    if (!acquire(host::kLightInfoService, lightInfo)) return messages::kNoLightInfo;
    if (!acquire(host::kCameraInfoService, cameraInfo)) return messages::kNoCameraInfo;
    if (!acquire(host::kObjectInfoService, objectInfo)) return messages::kNoObjectInfo;
    if (!acquire(host::kGlobalMemoryService, globalMemory)) return messages::kNoGlobalMemory;
    if (!acquire(host::kRenderMemoryService, renderMemory)) return messages::kNoRenderMemory;
    if (server.needsObjectAccess) {
        if (!acquire(host::kObjectAccessService, objectAccess)) return messages::kNoObjectAccess;
        if (!acquire(host::kObjectHelpService, objectHelp)) return messages::kNoObjectHelp;
    }
    if (server.needsGradient && !server.gradientService) {
        if (!acquire(host::kGradientService, server.gradientService)) return messages::kNoGradient;
    }
    return nullptr;
}

} // namespace velorastin
