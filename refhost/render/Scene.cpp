#include "refhost/render/Scene.h"

namespace refhost {

Pose SceneObject::poseAt(double time) const {
    const Axes axes = axesLookingAlong(forward(time), up(time));
    Pose pose;
    pose.centre = position(time);
    pose.right = axes.right;
    pose.up = axes.up;
    pose.forward = axes.forward;
    return pose;
}

const SceneObject* Scene::find(const std::string& name) const {
    for (const SceneObject& object : objects)
        if (object.name == name) return &object;
    return nullptr;
}

void Scene::addObject(SceneObject object) {
    SceneItem item;
    item.kind = host::kItemObject;
    item.id = object.id = makeItemId(host::kItemObject, static_cast<int32_t>(objects.size()));
    item.name = object.name;
    item.setPlacement(object.position, object.forward, object.up);
    model.items.push_back(std::move(item));
    objects.push_back(std::move(object));
}

} // namespace refhost
