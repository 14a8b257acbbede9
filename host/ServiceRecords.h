// The host's global services, as far as modules of this interface read or call
// them. Each record is owned by the host and lives as long as the process.
// Slots a module never touches are kept as opaque words so that every used
// field sits at its fixed offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/SampleAccess.h"  // ItemId

namespace host {

// Members of the host records align to at most 4 bytes, as in the 32-bit
// interface, so a double does not pad a record to a multiple of 8 on Windows.
#pragma pack(push, 4)

inline constexpr const char kInfoMessagesService[] = "Info Messages";
inline constexpr const char kSceneInfoService[] = "LW Scene Info";
inline constexpr const char kItemInfoService[] = "LW Item Info";
inline constexpr const char kLightInfoService[] = "LW Light Info";
inline constexpr const char kCameraInfoService[] = "LW Camera Info";
inline constexpr const char kObjectInfoService[] = "LW Object Info";
inline constexpr const char kGlobalMemoryService[] = "Global Memory";
inline constexpr const char kRenderMemoryService[] = "Global Render Memory";
inline constexpr const char kObjectAccessService[] = "LWObjectAccess";
inline constexpr const char kObjectHelpService[] = "LWObjectHelp";
inline constexpr const char kGradientService[] = "GradientAccess";

// What a server's init returns when the host does not supply a service.
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

// The services every server acquires, in the order it acquires them.
struct RequiredService {
    const char* name;
    const char* missingMessage;
};
inline constexpr RequiredService kRequiredServices[] = {
    {kInfoMessagesService, messages::kNoInfoMessages}, {kSceneInfoService, messages::kNoSceneInfo},
    {kItemInfoService, messages::kNoItemInfo},         {kLightInfoService, messages::kNoLightInfo},
    {kCameraInfoService, messages::kNoCameraInfo},     {kObjectInfoService, messages::kNoObjectInfo},
    {kGlobalMemoryService, messages::kNoGlobalMemory}, {kRenderMemoryService, messages::kNoRenderMemory},
};

// "LW Scene Info": a data record the host keeps current.
struct SceneInfo {
    uint32_t word0;
    uint32_t word4;
    uint32_t hostReserved8[2];
    uint32_t word16;
    uint32_t renderFlags;      // bit 0: ray-traced shadows
    uint32_t hostReserved24[6];
    int32_t frameWidth;        // pixels
    int32_t frameHeight;       // pixels
    double pixelAspect;
    uint32_t hostReserved64[6];
    uint32_t word88;
    uint32_t hostReserved92;
};
static_assert(sizeof(SceneInfo) == 96);
static_assert(offsetof(SceneInfo, word0) == 0);
static_assert(offsetof(SceneInfo, word4) == 4);
static_assert(offsetof(SceneInfo, word16) == 16);
static_assert(offsetof(SceneInfo, renderFlags) == 20);
static_assert(offsetof(SceneInfo, frameWidth) == 48);
static_assert(offsetof(SceneInfo, frameHeight) == 52);
static_assert(offsetof(SceneInfo, pixelAspect) == 56);
static_assert(offsetof(SceneInfo, word88) == 88);
inline constexpr uint32_t kRenderShadowsFlag = 1u;

// Item kinds for ItemInfo::first.
inline constexpr int32_t kItemObject = 0;
inline constexpr int32_t kItemLight = 1;
inline constexpr int32_t kItemCamera = 2;
// Item parameter codes for ItemInfo::param.
inline constexpr int32_t kParamPosition = 1;
inline constexpr int32_t kParamRight = 2;
inline constexpr int32_t kParamUp = 3;
inline constexpr int32_t kParamForward = 4;
inline constexpr int32_t kParamWorldPosition = 8;

// "LW Item Info": functions over the scene's items.
struct ItemInfo {
    ItemId (*first)(int32_t kind, ItemId parent);   // first item of a kind, 0 when none
    ItemId (*next)(ItemId item);                    // next item of the same kind, 0 after the last
    void* hostReserved8[7];
    // Fills three doubles with parameter `code` of `item` at `time`.
    int32_t (*param)(ItemId item, int32_t code, double time, double out[3]);
};
static_assert(sizeof(ItemInfo) == 40);
static_assert(offsetof(ItemInfo, first) == 0);
static_assert(offsetof(ItemInfo, next) == 4);
static_assert(offsetof(ItemInfo, param) == 36);

// Light kinds for LightInfo::kind.
inline constexpr int32_t kLightDistant = 0;
inline constexpr int32_t kLightPoint = 1;
inline constexpr int32_t kLightSpot = 2;
// Shadow kinds for LightInfo::shadowKind.
inline constexpr int32_t kShadowRayTraced = 1;

// "LW Light Info".
struct LightInfo {
    int32_t (*ambient)(double time, double colour[3]);  // ambient colour at `time`
    int32_t (*kind)(ItemId light);
    void* hostReserved8;
    int32_t (*shadowKind)(ItemId light);
};
static_assert(sizeof(LightInfo) == 16);
static_assert(offsetof(LightInfo, ambient) == 0);
static_assert(offsetof(LightInfo, kind) == 4);
static_assert(offsetof(LightInfo, shadowKind) == 12);

// "LW Camera Info".
struct CameraInfo {
    double (*zoom)(ItemId camera, double time);
};
static_assert(sizeof(CameraInfo) == 4);
static_assert(offsetof(CameraInfo, zoom) == 0);

// "Global Render Memory": named blocks that live until the render ends.
struct RenderMemory {
    void* hostReserved0[4];
    void* (*find)(const char* key);                  // block data, or null when there is none
    void* (*create)(const char* key, int32_t size);  // a new block under `key`
};
static_assert(sizeof(RenderMemory) == 24);
static_assert(offsetof(RenderMemory, find) == 16);
static_assert(offsetof(RenderMemory, create) == 20);

// The part of a per-instance service record that its holder calls when it lets
// the record go (the gradient service, an option panel's attached service).
struct ReleasableService {
    void* serviceReserved0[9];
    void (*release)();
};
static_assert(sizeof(ReleasableService) == 40);
static_assert(offsetof(ReleasableService, release) == 36);

#pragma pack(pop)

} // namespace host
