// The ray tests and surface geometry of the scene's shapes, in each object's
// own coordinates: spheres about the centre, the plane y = 0, boxes centred
// on the origin along the axes, and meshes as their file gives them (times
// the object's scale).
#pragma once

#include <cstdint>

#include "refhost/render/Scene.h"

namespace refhost {

// Distance along the world ray (`direction` unit length) to `object` placed
// at `pose`, between `minDistance` and `maxDistance` exclusive, or a negative
// value when it meets nothing there. Meshes fill `meshHit`.
double intersectShape(const SceneObject& object, const Pose& pose, const Vec& origin, const Vec& direction,
                      double minDistance, double maxDistance, Mesh::Hit& meshHit);

// The surface at a point of the object, in the object's own coordinates.
struct SurfacePoint {
    Vec normal;         // geometric, unit, pointing out of the shape (planes: +y)
    Vec shadingNormal;  // meshes: interpolated vertex normals; otherwise the geometric one
    double u = 0.0, v = 0.0;
    int32_t polygon = 0;
};
// Texture coordinates: spheres by longitude (0 .. 1 round from the back,
// 0.5 facing -z) and latitude (0 at the top, 1 at the bottom); planes by x and
// -z over the repeat size; boxes by the two axes across the face met, from
// its top-left corner seen from outside, over the repeat size; meshes
// by their texture coordinates, the file's v flipped so that 0 is the image's
// top.
SurfacePoint surfaceAt(const SceneObject& object, const Vec& localPoint, const Mesh::Hit& meshHit);

} // namespace refhost
