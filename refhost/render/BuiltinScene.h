// The scene `refhost render --scene builtin` draws: a ground plane and two rows
// of spheres whose colours are gamma-encoded swatches (saturated at the back,
// greys in front), one camera, a distant key light with ray-traced shadows, a
// point fill light without shadows and a little ambient light.
#pragma once

#include <cstdint>

#include "refhost/host/SceneModel.h"
#include "refhost/render/Renderer.h"

namespace refhost {

struct BuiltinScene {
    SceneModel model;   // what the host services report: record, camera, lights, objects
    Geometry geometry;  // what the renderer intersects; ids match the model's object items
};

// The frame is width x height pixels with square pixels; the camera's zoom
// keeps the swatches' row filling the frame's width whatever its shape.
BuiltinScene builtinScene(int32_t width, int32_t height);

// Item kind of the scene's objects (the host services list them, the module
// does not ask for them).
inline constexpr int32_t kItemObject = 0;

} // namespace refhost
