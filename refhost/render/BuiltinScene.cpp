#include "refhost/render/BuiltinScene.h"

#include <string>

namespace refhost {

namespace {

struct Swatch {
    const char* name;
    Vec colour;
};

// Back row: saturated colours; front row: a grey ramp. Gamma-encoded values.
constexpr Swatch kSaturated[] = {
    {"red", {0.80, 0.10, 0.10}},   {"orange", {0.90, 0.50, 0.10}}, {"yellow", {0.90, 0.85, 0.15}},
    {"green", {0.15, 0.65, 0.20}}, {"blue", {0.10, 0.30, 0.85}},   {"magenta", {0.75, 0.15, 0.70}},
};
constexpr Swatch kGreys[] = {
    {"grey 5%", {0.05, 0.05, 0.05}},   {"grey 20%", {0.20, 0.20, 0.20}}, {"grey 35%", {0.35, 0.35, 0.35}},
    {"grey 50%", {0.50, 0.50, 0.50}},  {"grey 70%", {0.70, 0.70, 0.70}}, {"grey 90%", {0.90, 0.90, 0.90}},
};

constexpr double kRadius = 0.56;
constexpr double kSpacing = 1.25;
constexpr double kFrontRowZ = -0.75;
constexpr double kBackRowZ = 1.6;
// Tangent of half the horizontal field of view: the rows fill the frame's width.
constexpr double kHalfWidthTangent = 0.36;

void addObject(BuiltinScene& scene, SceneObject object) {
    SceneItem item;
    item.kind = kItemObject;
    item.id = object.id;
    item.name = object.name;
    item.params[host::kParamPosition] = constant(object.centre);
    item.params[host::kParamWorldPosition] = constant(object.centre);
    item.params[host::kParamRight] = constant({1, 0, 0});
    item.params[host::kParamUp] = constant({0, 1, 0});
    item.params[host::kParamForward] = constant({0, 0, 1});
    scene.model.items.push_back(std::move(item));
    scene.geometry.objects.push_back(std::move(object));
}

void addRow(BuiltinScene& scene, const Swatch (&swatches)[6], double z) {
    for (int i = 0; i < 6; ++i) {
        SceneObject sphere;
        sphere.shape = SceneObject::Shape::Sphere;
        sphere.id = makeItemId(kItemObject, static_cast<int32_t>(scene.geometry.objects.size()));
        sphere.name = swatches[i].name;
        sphere.centre = {(i - 2.5) * kSpacing, kRadius, z};
        sphere.radius = kRadius;
        sphere.surface.colour = swatches[i].colour;
        sphere.surface.diffuse = 0.8;
        sphere.surface.specular = 0.35;
        sphere.surface.roughness = 0.25;
        addObject(scene, std::move(sphere));
    }
}

} // namespace

BuiltinScene builtinScene(int32_t width, int32_t height) {
    BuiltinScene scene;
    scene.model = SceneModel::basic(width, height);
    const double frameAspect = height > 0 ? static_cast<double>(width) / height : 1.0;
    // The camera's zoom is the frame's half height over the focal distance.
    const double zoom = frameAspect / kHalfWidthTangent;
    scene.model.addCamera("Camera", {0.0, 5.0, -12.0}, {0.0, 0.5 - 5.0, 0.4 + 12.0}, {0, 1, 0}, zoom);

    SceneItem& key = scene.model.addLight("Key", host::kLightDistant, host::kShadowRayTraced, {-6.0, 8.0, -5.0},
                                          {0.55, -0.75, 0.45});
    key.colour = {1.0, 1.0, 1.0};
    key.intensity = 1.0;
    SceneItem& fill = scene.model.addLight("Fill", host::kLightPoint, 0, {6.0, 3.0, -5.0});
    fill.colour = {0.85, 0.9, 1.0};
    fill.intensity = 0.3;
    scene.model.ambient = constant({0.06, 0.06, 0.07});

    SceneObject ground;
    ground.shape = SceneObject::Shape::Plane;
    ground.id = makeItemId(kItemObject, 0);
    ground.name = "ground";
    ground.centre = {0, 0, 0};
    ground.normal = {0, 1, 0};
    ground.surface.colour = {0.42, 0.40, 0.37};
    ground.surface.diffuse = 0.8;
    addObject(scene, std::move(ground));
    addRow(scene, kSaturated, kBackRowZ);
    addRow(scene, kGreys, kFrontRowZ);

    scene.geometry.background = {0.02, 0.025, 0.035};
    return scene;
}

} // namespace refhost
