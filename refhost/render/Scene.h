// A scene as refhost renders it: what the emulated host services report (the
// scene record, camera, lights, ambient light and the objects as items) and
// what only the renderer needs (shapes, surfaces, textures, the background).
// Scene files, the built-in scene included, are read into this.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "refhost/host/SceneModel.h"
#include "refhost/render/Mesh.h"
#include "refhost/render/Texture.h"

namespace refhost {

// The surface values a host hands to a shader, before the shader changes them.
struct Surface {
    Vec colour{0.5, 0.5, 0.5};  // display encoded, as a user picks it
    double luminosity = 0.0;
    double diffuse = 0.8;
    double specular = 0.0;
    double mirror = 0.0;
    double transparency = 0.0;
    double eta = 1.0;
    double roughness = 0.5;     // 0 mirror-sharp highlight .. 1 broad
    // When set, the colour comes from the image at the point's texture
    // coordinates instead; planes and boxes repeat it every `repeat` units
    // along their own axes.
    std::shared_ptr<const Texture> texture;
    double repeatU = 1.0, repeatV = 1.0;
};

// Where an object is at one time: its centre and its axes (right, up, forward
// in world coordinates, unit length and at right angles).
struct Pose {
    Vec centre;
    Vec right{1, 0, 0}, up{0, 1, 0}, forward{0, 0, 1};
    Vec pointToLocal(const Vec& p) const {
        const Vec d = p - centre;
        return {dot(d, right), dot(d, up), dot(d, forward)};
    }
    Vec directionToLocal(const Vec& d) const { return {dot(d, right), dot(d, up), dot(d, forward)}; }
    Vec directionToWorld(const Vec& d) const { return right * d.x + up * d.y + forward * d.z; }
};

struct SceneObject {
    enum class Shape { Sphere, Plane, Box, Mesh };
    Shape shape = Shape::Sphere;
    host::ItemId id = 0;
    std::string name;
    // Placement over time: the centre, the direction of the object's forward
    // (+z) axis and the way its up (+y) axis leans.
    VecOfTime position = constant({});
    VecOfTime forward = constant({0, 0, 1});
    VecOfTime up = constant({0, 1, 0});
    double radius = 1.0;      // spheres
    Vec size{1, 1, 1};        // boxes: edge lengths along the object's axes
    double scale = 1.0;       // meshes: object coordinates to world units
    std::shared_ptr<const Mesh> mesh;
    Surface surface;

    Pose poseAt(double time) const;
};

struct Scene {
    std::string source;  // the scene file, or "builtin"
    SceneModel model;    // served by the emulated host; its objects are items of kind 0
    std::vector<SceneObject> objects;
    Vec background;      // linear colour of rays that meet nothing
    double framesPerSecond = 24.0;

    double timeOf(int32_t frame) const { return frame / framesPerSecond; }
    const SceneObject* find(const std::string& name) const;
    // Adds `object` and the item the host services report for it.
    void addObject(SceneObject object);
};

} // namespace refhost
