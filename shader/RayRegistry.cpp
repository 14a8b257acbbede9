#include "shader/RayRegistry.h"

#include <atomic>
#include <cmath>
#include <cstdlib>

#include "framework/SceneContext.h"
#include "framework/Services.h"
#include "shader/ShaderServer.h"
#include "shader/ShadingSample.h"

namespace velorastin {

namespace {

constexpr double kSameStart = 1e-7;       // distance under which a node's start is the ray's source
constexpr double kSameDirection = 0.999;  // cosine above which a node's direction is the ray's
constexpr double kSameLine = 0.9999;      // cosine for camera and light tests
constexpr uint32_t kSpecialItemMask = 0xFFFF;
constexpr uint32_t kSpecialItem = 0x7FFF;

bool isSpecialItem(host::ItemId id) { return (id & kSpecialItemMask) == kSpecialItem; }

double distance(const Vec3& a, const Vec3& b) {
    const Vec3 d = a - b;
    return std::sqrt(dot(d, d));
}

} // namespace

OwnRayCallList::~OwnRayCallList() {
    host::RayCallNode* node = list.head;
    while (node) {
        host::RayCallNode* next = node->next;
        std::free(node);
        node = next;
    }
}

// `busy` is a plain word that other parties also touch; every access here is
// atomic so the wait is re-read from memory and two parties cannot both enter.
void enterRayCallList(host::RayCallList& list) {
    std::atomic_ref<int32_t> busy(list.busy);
    for (;;) {
        while (busy.load(std::memory_order_acquire) != 0) __builtin_ia32_pause();
        int32_t expected = 0;
        if (busy.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    }
}

void leaveRayCallList(host::RayCallList& list) {
    std::atomic_ref<int32_t>(list.busy).fetch_sub(1, std::memory_order_release);
}

host::RayCallNode* find(host::RayCallList& list, const ShadingSample& sample) {
    enterRayCallList(list);
    Vec3 travelled = sample.worldPosition - sample.rayOrigin;
    travelled.normalise();
    host::RayCallNode* match = nullptr;
    for (host::RayCallNode* node = list.head; node; node = node->next) {
        if (!(distance(vec3From(node->start), sample.rayOrigin) < kSameStart)) continue;
        if (node->kind == host::kRayCallerLight || dot(travelled, vec3From(node->direction)) > kSameDirection) {
            match = node;
            break;
        }
    }
    leaveRayCallList(list);
    return match;
}

bool CameraFrame::rayFromCamera(const Vec3& point, const Vec3& toSource) const {
    Vec3 toCamera = worldPosition - point;
    toCamera.normalise();
    return dot(toCamera, toSource) > kSameLine;
}

bool LightFrame::rayTowardLight(const Vec3& point, const Vec3& toSource) const {
    if (!(sceneContext.renderFlags & host::kRenderShadowsFlag)) return false;
    if (shadowKind() != host::kShadowRayTraced) return false;
    const int32_t kind = lightKind();
    if (kind == host::kLightDistant) return dot(forwardAxis, toSource) > kSameLine;
    if (kind >= 1 && kind <= 4) {
        Vec3 fromLight = point - worldPosition;
        fromLight.normalise();
        return dot(fromLight, toSource) > kSameLine;
    }
    return false;
}

namespace {

// Tests the lights from the cached one on, then from the first light up to
// the cached one. The first light is asked for only where the walk needs it:
// to start when nothing is cached, and at the start of the second pass.
host::ItemId findLightLookingAt(ShaderServer& owner, const ShadingSample& sample, const Vec3& toSource) {
    if (!itemInfo) return 0;
    if (!owner.cachedLight) owner.cachedLight = itemInfo->first(host::kItemLight, 0);
    const host::ItemId start = owner.cachedLight;
    auto test = [&](host::ItemId light) {
        LightFrame frame(light, &owner);
        frame.update();
        return frame.rayTowardLight(sample.worldPosition, toSource);
    };
    for (host::ItemId light = start; light; light = itemInfo->next(light)) {
        if (test(light)) return light;
    }
    for (host::ItemId light = itemInfo->first(host::kItemLight, 0); light && light != start;
         light = itemInfo->next(light)) {
        if (test(light)) return light;
    }
    return 0;
}

} // namespace

void classify(ShadingSample& sample) {
    ShaderServer& owner = *sample.owner;
    if (owner.classificationDisabled) {
        sample.registryTag = 0;
        if (isSpecialItem(sample.itemId)) sample.viewerMode = SpecialItem;
        return;
    }
    // An instance that took an enabled classification by copy before its own
    // first time step has no registry yet: it counts as an empty one.
    host::RayCallList* registry = owner.rayCallList;
    sample.registryTag = registry ? registry->tag : 0;
    if (isSpecialItem(sample.itemId)) {
        sample.viewerMode = SpecialItem;
        return;
    }
    if (!owner.handlesLightRays && !(owner.flags & ShaderServer::kClassifyFlag)) return;

    sample.node = registry ? find(*registry, sample) : nullptr;
    if (sample.node) {
        sample.nodeKind = sample.node->kind;
        if (sample.nodeKind == host::kRayCallerLight) {
            sample.viewerId = sample.node->callerId;
            sample.viewerMode = LightRay;
        }
        return;
    }

    Vec3 toSource = sample.rayOrigin - sample.worldPosition;
    toSource.normalise();
    // The camera test reads the scene snapshot only.
    if (sceneContext.camera.rayFromCamera(sample.worldPosition, toSource)) {
        sample.viewerId = sceneContext.camera.itemId;
        owner.cachedLight = 0;
        return;
    }
    if (!(sceneContext.renderFlags & host::kRenderShadowsFlag)) {
        owner.cachedLight = 0;
        return;
    }
    const host::ItemId light = findLightLookingAt(owner, sample, toSource);
    owner.cachedLight = light;
    if (light) {
        sample.viewerId = light;
        sample.viewerMode = LightRay;
    }
}

} // namespace velorastin
