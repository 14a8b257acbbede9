// Triangle meshes from Wavefront OBJ files, their polygons cut into triangles
// that keep concave faces' shape, and the ray test against them through a
// bounding-volume hierarchy. Positions are in the object's own
// coordinates; materials and groups in the file are ignored (the scene file
// gives the surface).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "refhost/host/Vec.h"

namespace refhost {

struct MeshLimits {
    int64_t maxFileBytes = 64ll << 20;
    int64_t maxTriangles = 1000000;
    int32_t maxFaceCorners = 256;  // a larger polygon is refused before it is triangulated; at most 256
};

struct Mesh {
    struct Triangle {
        uint32_t corner[3];     // vertex indices
        int32_t uv[3];          // texture coordinate indices, -1 for none
        int32_t normal[3];      // vertex normal indices, -1 for none
    };
    struct Node {
        Vec low, high;             // the box around every triangle below
        uint32_t first = 0;        // leaves: first triangle in `order`; inner nodes: the second child
        uint32_t count = 0;        // leaves: triangles; 0 for inner nodes (first child follows the node)
    };

    std::string path;
    std::vector<Vec> vertices;
    std::vector<Vec> normals;
    std::vector<double> uvs;       // u, v pairs as the file gives them (v up)
    std::vector<Triangle> triangles;
    std::vector<Node> nodes;       // nodes[0] is the root; empty without triangles
    std::vector<uint32_t> order;   // triangle indices in leaf order

    struct Hit {
        double distance = 0.0;
        uint32_t triangle = 0;
        double b1 = 0.0, b2 = 0.0;  // barycentric weights of corners 1 and 2
    };
    // The nearest triangle that the ray meets closer than `maxDistance`, not
    // closer than `minDistance`. `direction` need not be unit length; distances
    // are in its units.
    bool intersect(const Vec& origin, const Vec& direction, double minDistance, double maxDistance,
                   Hit& hit) const;
    // Normal (unit, from the triangle's winding) and texture coordinates at a hit.
    Vec faceNormal(uint32_t triangle) const;
    Vec shadingNormal(const Hit& hit) const;  // vertex normals interpolated where the file has them
    void textureCoordinates(const Hit& hit, double& u, double& v) const;

    void buildHierarchy();
};

// Reads OBJ text already in memory; `name` names it in messages. False with a
// message naming `name` and what is wrong.
bool parseObj(const std::string& text, const std::string& name, const MeshLimits& limits, Mesh& mesh,
              std::string& error);
// Reads an OBJ file: its size is checked before it is read.
bool readObj(const std::string& path, const MeshLimits& limits, Mesh& mesh, std::string& error);

} // namespace refhost
