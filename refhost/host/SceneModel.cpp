#include "refhost/host/SceneModel.h"

#include <cmath>

namespace refhost {

VecOfTime constant(Vec v) {
    return [v](double) { return v; };
}

VecOfTime linear(Vec start, Vec velocity) {
    return [start, velocity](double t) {
        return Vec{start.x + velocity.x * t, start.y + velocity.y * t, start.z + velocity.z * t};
    };
}

Vec SceneItem::param(int32_t code, double time) const {
    auto it = params.find(code);
    return it == params.end() ? Vec{} : it->second(time);
}

host::ItemId makeItemId(int32_t kind, int32_t index) {
    return (static_cast<host::ItemId>(kind) << 24) | static_cast<host::ItemId>(index + 1);
}

namespace {

// Sine of the angle below which a view counts as running along its up: far
// above the rounding of keyed or subtracted coordinates, far below any tilt a
// scene means.
constexpr double kParallelSine = 1e-6;

// `right` is up x forward, with forward unit length.
bool alongUp(const Vec& up, const Vec& right) { return !(length(right) > kParallelSine * length(up)); }

} // namespace

Axes axesLookingAlong(Vec forward, Vec up) {
    Axes axes;
    axes.forward = unit(forward);
    Vec right = cross(up, axes.forward);
    if (alongUp(up, right)) {
        // Nothing for the up to lean toward: lean toward +y, or for a view
        // along y, as the view along +z tilted straight down (up +z) or
        // straight up (up -z), so that +x stays to the right.
        const Vec y{0, 1, 0};
        right = cross(y, axes.forward);
        if (alongUp(y, right)) right = cross(Vec{0, 0, axes.forward.y < 0.0 ? 1.0 : -1.0}, axes.forward);
    }
    axes.right = unit(right);
    axes.up = cross(axes.forward, axes.right);
    return axes;
}

ScalarOfTime constantScalar(double value) {
    return [value](double) { return value; };
}

void SceneItem::setPlacement(VecOfTime position, VecOfTime forward, VecOfTime up) {
    auto axesAt = [forward, up](double t) { return axesLookingAlong(forward(t), up ? up(t) : Vec{0, 1, 0}); };
    params[host::kParamPosition] = position;
    params[host::kParamWorldPosition] = position;
    params[host::kParamForward] = [axesAt](double t) { return axesAt(t).forward; };
    params[host::kParamRight] = [axesAt](double t) { return axesAt(t).right; };
    params[host::kParamUp] = [axesAt](double t) { return axesAt(t).up; };
}

SceneItem& SceneModel::addCamera(const std::string& name, Vec position, Vec forward, Vec up, double zoom) {
    SceneItem item;
    item.kind = host::kItemCamera;
    item.id = makeItemId(host::kItemCamera, static_cast<int32_t>(itemsOfKind(host::kItemCamera).size()));
    item.name = name;
    item.setPlacement(constant(position), constant(forward), constant(up));
    item.zoom = constantScalar(zoom);
    items.push_back(std::move(item));
    return items.back();
}

SceneItem& SceneModel::addLight(const std::string& name, int32_t lightKind, int32_t shadowKind, Vec position,
                                Vec forward) {
    SceneItem item;
    item.kind = host::kItemLight;
    item.id = makeItemId(host::kItemLight, static_cast<int32_t>(itemsOfKind(host::kItemLight).size()));
    item.name = name;
    item.lightKind = lightKind;
    item.shadowKind = shadowKind;
    item.setPlacement(constant(position), constant(forward));
    items.push_back(std::move(item));
    return items.back();
}

const SceneItem* SceneModel::item(host::ItemId id) const {
    for (const SceneItem& i : items)
        if (i.id == id) return &i;
    return nullptr;
}

std::vector<const SceneItem*> SceneModel::itemsOfKind(int32_t kind) const {
    std::vector<const SceneItem*> out;
    for (const SceneItem& i : items)
        if (i.kind == kind) out.push_back(&i);
    return out;
}

SceneModel SceneModel::basic(int32_t width, int32_t height) {
    SceneModel scene;
    scene.record.frameWidth = width;
    scene.record.frameHeight = height;
    scene.record.pixelAspect = 1.0;
    scene.record.renderFlags = host::kRenderShadowsFlag;
    return scene;
}

} // namespace refhost
