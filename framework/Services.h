// The host's global services, fetched by name through the GlobalLookup that
// every handler activation stores. The pointers are shared by all instances and
// always hold the answers of the latest init that reached them.
#pragma once

#include "framework/ServerObject.h"
#include "host/ModuleRecords.h"
#include "host/ServiceRecords.h"

namespace velorastin {

class HandlerServer;

extern host::GlobalLookup globalLookup;  // null until the first handler activation

extern void* infoMessages;
extern host::SceneInfo* sceneInfo;
extern host::ItemInfo* itemInfo;
extern host::LightInfo* lightInfo;
extern host::CameraInfo* cameraInfo;
extern void* objectInfo;
extern void* globalMemory;
extern host::RenderMemory* renderMemory;
extern void* objectAccess;
extern void* objectHelp;

// The messages init returns for a service the host does not supply.
namespace messages {
inline constexpr const char kNoInfoMessages[] = "Couldn't get Info Messages functions";
inline constexpr const char kNoSceneInfo[] = "Couldn't get Scene Info";
inline constexpr const char kNoItemInfo[] = "Couldn't get Item Info";
inline constexpr const char kNoLightInfo[] = "Couldn't get Light Info";
inline constexpr const char kNoCameraInfo[] = "Couldn't get Camera Info";
inline constexpr const char kNoObjectInfo[] = "Couldn't get Object Info";
inline constexpr const char kNoGlobalMemory[] = "Couldn't get Global Memory";
inline constexpr const char kNoRenderMemory[] = "Couldn't get Global Render Memory";
inline constexpr const char kNoObjectAccess[] = "Object Access not found. Please add 'polyquery.p'";
inline constexpr const char kNoObjectHelp[] = "Object Help not found. Please add 'polyquery.p'";
inline constexpr const char kNoGradient[] = "Couldn't get Gradient services. Please add plugin rampwork.p";
} // namespace messages

// "Info Messages", the first service every server needs.
ErrorText acquireInfoMessages();
// The remaining services in their fixed order, including the optional ones the
// server's flags ask for.
ErrorText acquireHandlerServices(HandlerServer& server);

} // namespace velorastin
