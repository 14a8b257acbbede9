// The scene the emulated host reports through its services, and that the
// renderer draws: the scene record, cameras and lights with their parameters
// as functions of time, and the ambient colour.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/SampleAccess.h"
#include "host/ServiceRecords.h"
#include "refhost/host/Vec.h"

namespace refhost {

using VecOfTime = std::function<Vec(double time)>;
using ScalarOfTime = std::function<double(double time)>;

VecOfTime constant(Vec v);
// p(t) = start + velocity * t
VecOfTime linear(Vec start, Vec velocity);
ScalarOfTime constantScalar(double value);

// The right, up and forward axes of an item looking along `forward`, with `up`
// the way its up axis leans (left-handed: right = up x forward). A view along
// `up` (within a millionth of a radian) leans toward +y instead, and a view
// along y toward +z looking down, -z looking up: +x stays to the right.
struct Axes {
    Vec right, up, forward;
};
Axes axesLookingAlong(Vec forward, Vec up);

struct SceneItem {
    host::ItemId id = 0;
    int32_t kind = 0;  // host::kItemCamera or host::kItemLight
    std::string name;
    // Item parameters by code: position (1), right (2), up (3), forward (4),
    // world position (8). A code without a function reads (0, 0, 0).
    std::map<int32_t, VecOfTime> params;
    // Lights.
    int32_t lightKind = host::kLightDistant;
    int32_t shadowKind = host::kShadowRayTraced;
    Vec colour{1.0, 1.0, 1.0};
    ScalarOfTime intensity = constantScalar(1.0);
    // Spot lights: half the cone's opening, and the width of its soft edge
    // inside the cone, in radians.
    double coneAngle = 0.0;
    double edgeAngle = 0.0;
    // Cameras.
    ScalarOfTime zoom;

    Vec param(int32_t code, double time) const;
    // Position, world position and the three axes from a position and the
    // direction the item looks along, each a function of time. A null `up`
    // leans the item's up axis toward +y.
    void setPlacement(VecOfTime position, VecOfTime forward, VecOfTime up = nullptr);
};

struct SceneModel {
    host::SceneInfo record{};  // served as "LW Scene Info"
    std::vector<SceneItem> items;
    VecOfTime ambient = constant({0.0, 0.0, 0.0});

    // A camera at `position` looking along `forward`, with `up` the image's up.
    SceneItem& addCamera(const std::string& name, Vec position, Vec forward, Vec up, double zoom);
    // A light; for distant lights `forward` is the direction the light travels.
    SceneItem& addLight(const std::string& name, int32_t lightKind, int32_t shadowKind, Vec position,
                        Vec forward = {0.0, 0.0, 1.0});

    const SceneItem* item(host::ItemId id) const;
    std::vector<const SceneItem*> itemsOfKind(int32_t kind) const;

    // A frame of width x height pixels, pixel aspect 1, ray-traced shadows on.
    static SceneModel basic(int32_t width = 640, int32_t height = 480);
};

// Item identifiers: the kind in the high byte, 1-based index below.
host::ItemId makeItemId(int32_t kind, int32_t index);

} // namespace refhost
