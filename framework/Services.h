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
namespace messages = host::messages;

// "Info Messages", the first service every server needs.
ErrorText acquireInfoMessages();
// The remaining services in their fixed order, including the optional ones the
// server's flags ask for.
ErrorText acquireHandlerServices(HandlerServer& server);

} // namespace velorastin
