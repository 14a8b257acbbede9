#include "refhost/render/Shapes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace refhost {

namespace {

double sphereDistance(double radius, const Vec& o, const Vec& d, double minDistance) {
    const double b = dot(o, d);
    const double c = dot(o, o) - radius * radius;
    const double discriminant = b * b - c;
    if (discriminant < 0.0) return -1.0;
    const double root = std::sqrt(discriminant);
    const double nearT = -b - root;
    return nearT > minDistance ? nearT : -b + root;
}

double boxDistance(const Vec& half, const Vec& o, const Vec& d, double minDistance) {
    const double origin[3] = {o.x, o.y, o.z}, direction[3] = {d.x, d.y, d.z}, size[3] = {half.x, half.y, half.z};
    double near = -HUGE_VAL, far = HUGE_VAL;
    for (int a = 0; a < 3; ++a) {
        if (direction[a] == 0.0) {
            if (origin[a] < -size[a] || origin[a] > size[a]) return -1.0;
            continue;
        }
        double t0 = (-size[a] - origin[a]) / direction[a];
        double t1 = (size[a] - origin[a]) / direction[a];
        if (t0 > t1) std::swap(t0, t1);
        near = std::max(near, t0);
        far = std::min(far, t1);
    }
    if (!(near <= far)) return -1.0;
    return near > minDistance ? near : far;
}

} // namespace

double intersectShape(const SceneObject& object, const Pose& pose, const Vec& origin, const Vec& direction,
                      double minDistance, double maxDistance, Mesh::Hit& meshHit) {
    const Vec o = pose.pointToLocal(origin);
    const Vec d = pose.directionToLocal(direction);
    double t = -1.0;
    switch (object.shape) {
    case SceneObject::Shape::Sphere: t = sphereDistance(object.radius, o, d, minDistance); break;
    case SceneObject::Shape::Plane:
        if (std::abs(d.y) >= 1e-12) t = -o.y / d.y;
        break;
    case SceneObject::Shape::Box: t = boxDistance(object.size * 0.5, o, d, minDistance); break;
    case SceneObject::Shape::Mesh:
        if (object.mesh && object.scale > 0.0) {
            // In mesh units the ray's parameter is the world distance still.
            const double inverse = 1.0 / object.scale;
            if (object.mesh->intersect(o * inverse, d * inverse, minDistance, maxDistance, meshHit))
                t = meshHit.distance;
        }
        break;
    }
    return t > minDistance && t < maxDistance ? t : -1.0;
}

SurfacePoint surfaceAt(const SceneObject& object, const Vec& p, const Mesh::Hit& meshHit) {
    SurfacePoint s;
    const Surface& surface = object.surface;
    switch (object.shape) {
    case SceneObject::Shape::Sphere: {
        s.normal = unit(p);
        s.u = 0.5 + std::atan2(s.normal.x, -s.normal.z) / (2.0 * std::numbers::pi);
        s.v = std::acos(std::clamp(s.normal.y, -1.0, 1.0)) / std::numbers::pi;
        break;
    }
    case SceneObject::Shape::Plane:
        s.normal = {0, 1, 0};
        s.u = p.x / surface.repeatU;
        s.v = -p.z / surface.repeatV;
        break;
    case SceneObject::Shape::Box: {
        // The face met is the one the point lies nearest to, relative to the size.
        const Vec half = object.size * 0.5;
        const double ax = std::abs(p.x) / half.x, ay = std::abs(p.y) / half.y, az = std::abs(p.z) / half.z;
        // Measured from the face's top-left corner as seen from outside, so
        // that a face as large as the repeat size shows the image once.
        double across = 0.0, down = 0.0;
        if (ax >= ay && ax >= az) {
            s.normal = {p.x > 0 ? 1.0 : -1.0, 0, 0};
            across = p.x > 0 ? p.z + half.z : half.z - p.z;
            down = half.y - p.y;
        } else if (ay >= az) {
            s.normal = {0, p.y > 0 ? 1.0 : -1.0, 0};
            across = p.x + half.x;
            down = p.y > 0 ? half.z - p.z : p.z + half.z;
        } else {
            s.normal = {0, 0, p.z > 0 ? 1.0 : -1.0};
            across = p.z > 0 ? half.x - p.x : p.x + half.x;
            down = half.y - p.y;
        }
        s.u = across / surface.repeatU;
        s.v = down / surface.repeatV;
        break;
    }
    case SceneObject::Shape::Mesh:
        s.normal = object.mesh->faceNormal(meshHit.triangle);
        s.shadingNormal = object.mesh->shadingNormal(meshHit);
        object.mesh->textureCoordinates(meshHit, s.u, s.v);
        s.v = 1.0 - s.v;
        s.polygon = static_cast<int32_t>(meshHit.triangle);
        return s;
    }
    s.shadingNormal = s.normal;
    return s;
}

} // namespace refhost
