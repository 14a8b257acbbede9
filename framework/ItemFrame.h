// Snapshots of one host item (a camera or a light) at a server's time.
#pragma once

#include <cstdint>

#include "framework/Matrix.h"
#include "framework/Vec3.h"
#include "host/SampleAccess.h"

namespace velorastin {

class HandlerServer;

class ItemFrame {
public:
    ItemFrame(host::ItemId item, HandlerServer* ownerServer);
    ItemFrame(const ItemFrame&) = delete;
    ItemFrame& operator=(const ItemFrame&) = delete;
    virtual ~ItemFrame();
    // Re-reads the five vectors at the owner's time.
    virtual void update();

    host::ItemId itemId;
    HandlerServer* owner;  // not owned; its time is the one the item is read at
    Vec3 position;         // parameter 1
    Vec3 worldPosition;    // parameter 8
    Vec3 forwardAxis;      // parameter 4
    Vec3 rightAxis;        // parameter 2
    Vec3 upAxis;           // parameter 3

protected:
    double ownerTime() const;
};

class LightFrame : public ItemFrame {
public:
    using ItemFrame::ItemFrame;
    ~LightFrame() override;

    int32_t lightKind() const;
    int32_t shadowKind() const;
    // Whether the ray that reached `point` along `toSource` travels toward this light.
    bool rayTowardLight(const Vec3& point, const Vec3& toSource) const;
};

class CameraFrame : public ItemFrame {
public:
    CameraFrame();
    ~CameraFrame() override;
    // Looks the scene's first camera up again and reads it with the scene record.
    void update() override;
    // Whether the ray that reached `point` along `toSource` started at the camera.
    bool rayFromCamera(const Vec3& point, const Vec3& toSource) const;

    double width = 0.0;
    double height = 0.0;
    double zoom = 0.0;
    double aspect = 0.0;
    double halfWidth = 0.0;
    double halfHeight = 0.0;
    double xScale = 0.0;
    double yScale = 0.0;
    double frameAspect = 0.0;
    Matrix projection;  // 4 x 4: world point to (right, up, depth - zoom, depth / zoom)
};

} // namespace velorastin
