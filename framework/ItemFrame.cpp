#include "framework/ItemFrame.h"

#include "framework/HandlerServer.h"
#include "framework/Services.h"

namespace velorastin {

ItemFrame::ItemFrame(host::ItemId item, HandlerServer* ownerServer) : itemId(item), owner(ownerServer) {}

ItemFrame::~ItemFrame() = default;

double ItemFrame::ownerTime() const { return owner ? owner->time : 0.0; }

void ItemFrame::update() {
    // A frame read without the item service keeps its previous values.
    if (!itemInfo) return;
    const double t = ownerTime();
    itemInfo->param(itemId, host::kParamPosition, t, position.data());
    itemInfo->param(itemId, host::kParamWorldPosition, t, worldPosition.data());
    itemInfo->param(itemId, host::kParamForward, t, forwardAxis.data());
    itemInfo->param(itemId, host::kParamRight, t, rightAxis.data());
    itemInfo->param(itemId, host::kParamUp, t, upAxis.data());
}

LightFrame::~LightFrame() = default;

int32_t LightFrame::lightKind() const { return lightInfo ? lightInfo->kind(itemId) : -1; }

int32_t LightFrame::shadowKind() const { return lightInfo ? lightInfo->shadowKind(itemId) : 0; }

CameraFrame::CameraFrame() : ItemFrame(0, nullptr) { projection.resize(4, 4); }

CameraFrame::~CameraFrame() = default;

void CameraFrame::update() {
    if (itemInfo) itemId = itemInfo->first(host::kItemCamera, 0);
    ItemFrame::update();
    if (sceneInfo) {
        height = static_cast<double>(sceneInfo->frameHeight);
        width = static_cast<double>(sceneInfo->frameWidth);
        aspect = sceneInfo->pixelAspect;
    }
    halfHeight = height * 0.5;
    yScale = halfHeight;
    halfWidth = width * 0.5;
    xScale = halfHeight / aspect;
    frameAspect = width * aspect / height;
    if (cameraInfo) zoom = cameraInfo->zoom(itemId, ownerTime());

    const Vec3& p = worldPosition;
    const Vec3& r = rightAxis;
    const Vec3& u = upAxis;
    const Vec3& f = forwardAxis;
    const double depthOffset = -dot(p, f) - zoom;
    const double rowsOfProjection[16] = {
        r.x, r.y, r.z, -dot(p, r),
        u.x, u.y, u.z, -dot(p, u),
        f.x, f.y, f.z, depthOffset,
        f.x / zoom, f.y / zoom, f.z / zoom, depthOffset / zoom + 1.0,
    };
    projection.assign(4, 4, rowsOfProjection);
}

} // namespace velorastin
