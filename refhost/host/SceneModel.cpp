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

Vec unit(Vec v) {
    const double l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return l > 0 ? Vec{v.x / l, v.y / l, v.z / l} : Vec{0, 1, 0};
}

Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

// Right, up and forward axes of an item looking along `forward` with `up` roughly up.
void setAxes(SceneItem& item, Vec forward, Vec up) {
    const Vec f = unit(forward);
    const Vec r = unit(cross(up, f));
    const Vec u = cross(f, r);
    item.params[host::kParamForward] = constant(f);
    item.params[host::kParamRight] = constant(r);
    item.params[host::kParamUp] = constant(u);
}

} // namespace

SceneItem& SceneModel::addCamera(const std::string& name, Vec position, Vec forward, Vec up, double zoom) {
    SceneItem item;
    item.kind = host::kItemCamera;
    item.id = makeItemId(host::kItemCamera, static_cast<int32_t>(itemsOfKind(host::kItemCamera).size()));
    item.name = name;
    item.params[host::kParamPosition] = constant(position);
    item.params[host::kParamWorldPosition] = constant(position);
    setAxes(item, forward, up);
    item.zoom = [zoom](double) { return zoom; };
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
    item.params[host::kParamPosition] = constant(position);
    item.params[host::kParamWorldPosition] = constant(position);
    setAxes(item, forward, std::abs(unit(forward).y) > 0.99 ? Vec{0, 0, 1} : Vec{0, 1, 0});
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
