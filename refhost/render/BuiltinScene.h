// The scene `refhost render` draws unless given a file: examples/scenes/
// builtin.json, compiled in. A ground plane and two rows of spheres whose
// colours are display-encoded swatches (saturated at the back, greys in
// front), one camera, a distant key light with ray-traced shadows, a point
// fill light without shadows and a little ambient light.
#pragma once

#include <cstdint>
#include <string>

#include "refhost/render/Scene.h"
#include "refhost/render/SceneFile.h"

namespace refhost {

inline constexpr const char kBuiltinSceneName[] = "builtin";

const char* builtinSceneText();

// The built-in scene at width x height pixels (0: its own 640 x 360); the
// camera's field of view keeps the swatches' row filling the frame's width
// whatever its shape.
Scene builtinScene(int32_t width = 0, int32_t height = 0);

// "builtin", or a scene file's path.
bool loadScene(const std::string& scene, const SceneOptions& options, Scene& out, std::string& error);

} // namespace refhost
