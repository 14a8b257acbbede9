// OBJ meshes: what is read, what is refused before it costs anything, and the
// hierarchy's ray test against testing every triangle.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "refhost/render/Mesh.h"
#include "tests/render/ExampleAssets.h"

using namespace refhost;

namespace {

std::string refusal(const std::string& text, MeshLimits limits = {}) {
    Mesh mesh;
    std::string error;
    EXPECT_FALSE(parseObj(text, "m.obj", limits, mesh, error)) << text;
    return error;
}

// The nearest triangle by trying each one, as the reference for the hierarchy.
bool bruteForce(const Mesh& mesh, const Vec& o, const Vec& d, double& nearest, uint32_t& triangle) {
    bool found = false;
    nearest = HUGE_VAL;
    for (uint32_t i = 0; i < mesh.triangles.size(); ++i) {
        Mesh single = mesh;
        single.triangles = {mesh.triangles[i]};
        single.buildHierarchy();
        Mesh::Hit hit;
        if (single.intersect(o, d, 1e-9, nearest, hit)) {
            nearest = hit.distance;
            triangle = i;
            found = true;
        }
    }
    return found;
}

// One face through `corners` (x, y) in the plane z = 0, in the given order.
std::string faceObj(const std::vector<std::pair<double, double>>& corners) {
    std::string text, face = "f";
    for (std::size_t i = 0; i < corners.size(); ++i) {
        text += "v " + std::to_string(corners[i].first) + " " + std::to_string(corners[i].second) + " 0\n";
        face += " " + std::to_string(i + 1);
    }
    return text + face + "\n";
}

} // namespace

// A face is cut into corners - 2 triangles that cover what it covers, wound as
// it is: ears for concave faces, the inner diagonal for a concave quad.
TEST(Mesh, FacesAreCutIntoTrianglesThatKeepTheirShape) {
    using Corners = std::vector<std::pair<double, double>>;
    const Corners c = {{0, 0}, {3, 0}, {3, 1}, {1, 1}, {1, 2}, {3, 2}, {3, 3}, {0, 3}};
    Corners ring;  // two half rings joined by a slit of no width along +x
    for (int i = 0; i <= 32; ++i) ring.push_back({4 * std::cos(i * M_PI / 16), 4 * std::sin(i * M_PI / 16)});
    for (int i = 32; i >= 0; --i) ring.push_back({2 * std::cos(i * M_PI / 16), 2 * std::sin(i * M_PI / 16)});
    Corners round;
    for (int i = 0; i < 256; ++i) round.push_back({std::cos(i * M_PI / 128), std::sin(i * M_PI / 128)});
    struct Row {
        const char* what;
        Corners corners;
        std::vector<std::pair<double, double>> inside, outside;
    };
    const Row rows[] = {
        {"C", c, {{0.5, 1.5}, {2.5, 0.5}, {2.5, 2.5}}, {{2, 1.5}, {2.9, 1.1}}},
        {"C clockwise", Corners(c.rbegin(), c.rend()), {{0.5, 1.5}, {2.5, 0.5}, {2.5, 2.5}}, {{2, 1.5}}},
        {"dart", {{0, 0}, {0.5, 0.5}, {1, 0}, {0.5, 10}}, {{0.5, 5}}, {{0.5, 0.25}}},
        {"ring", ring, {{3, 0.1}, {-3, 0.1}, {0, -3}}, {{0, 0}, {1, 1}}},
        {"256 corners", round, {{0, 0}}, {}},
        {"star (edges cross)", {{0, 0}, {2, 0}, {0.5, 1.5}, {1, -1}, {1.5, 1.5}}, {}, {}},
    };
    for (const Row& row : rows) {
        Mesh mesh;
        std::string error;
        ASSERT_TRUE(parseObj(faceObj(row.corners), "m.obj", {}, mesh, error)) << row.what << ": " << error;
        EXPECT_EQ(mesh.triangles.size(), row.corners.size() - 2) << row.what;
        if (row.inside.empty()) continue;  // not a simple polygon: only its count is sure
        // The face's winding seen from +z: twice its signed area.
        double area = 0;
        for (std::size_t i = 0; i < row.corners.size(); ++i) {
            const auto& [x0, y0] = row.corners[i];
            const auto& [x1, y1] = row.corners[(i + 1) % row.corners.size()];
            area += x0 * y1 - x1 * y0;
        }
        for (uint32_t t = 0; t < mesh.triangles.size(); ++t)
            EXPECT_GE(mesh.faceNormal(t).z * area, 0.0) << row.what << ": triangle " << t << " turned over";
        Mesh::Hit hit;
        for (const auto& [x, y] : row.inside)
            EXPECT_TRUE(mesh.intersect({x, y, -1}, {0, 0, 1}, 0.0, HUGE_VAL, hit)) << row.what << " at " << x << ", " << y;
        for (const auto& [x, y] : row.outside)
            EXPECT_FALSE(mesh.intersect({x, y, -1}, {0, 0, 1}, 0.0, HUGE_VAL, hit)) << row.what << " at " << x << ", " << y;
    }
}

TEST(Mesh, PolygonsAreTriangulatedWithTheirCoordinatesAndNormals) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(parseObj("v 0 0 0\nv 2 0 0\nv 2 2 0\nv 0 2 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvn 0 0 -1\n"
                         "mtllib none.mtl\nusemtl x\nf 1/1/1 2/2/1 3/3/1 4/4/1\n",
                         "m.obj", {}, mesh, error))
        << error;
    ASSERT_EQ(mesh.triangles.size(), 2u);
    Mesh::Hit hit;
    ASSERT_TRUE(mesh.intersect({1.5, 0.5, -5}, {0, 0, 1}, 0.0, HUGE_VAL, hit));
    EXPECT_DOUBLE_EQ(hit.distance, 5.0);
    double u = 0, v = 0;
    mesh.textureCoordinates(hit, u, v);
    EXPECT_NEAR(u, 0.75, 1e-6);
    EXPECT_NEAR(v, 0.25, 1e-6);
    EXPECT_EQ(mesh.shadingNormal(hit).z, -1.0);
    EXPECT_FALSE(mesh.intersect({3, 3, -5}, {0, 0, 1}, 0.0, HUGE_VAL, hit));
    EXPECT_FALSE(mesh.intersect({1, 1, -5}, {0, 0, 1}, 0.0, 4.0, hit));  // beyond the far limit
}

TEST(Mesh, DamagedFilesAreRefusedWithWhatIsWrong) {
    EXPECT_EQ(refusal("v 0 0 0\nv 1 0 0\nf 1 2 7\n"), "m.obj: face 1 refers to vertex 7 of 2");
    EXPECT_EQ(refusal("v 0 0 0\n"), "m.obj: the mesh has no faces");
    EXPECT_EQ(refusal("v 0 0 0\nv 1 0 0\nv 1e400 1 0\nf 1 2 3\n"), "m.obj: vertex 3 is not a finite position");
    MeshLimits limits;
    limits.maxFaceCorners = 5;
    limits.maxTriangles = 4;
    limits.maxFileBytes = 64;
    // Refused from the face lines alone, before the parser builds anything.
    EXPECT_EQ(refusal("f 1 2 3 4 5 6\n", limits), "m.obj: line 1: a face of 6 corners; refhost reads faces of at most 5");
    EXPECT_EQ(refusal("f 1 2 3 4 5\nf 1 2 3 4\n", limits),
              "m.obj: more than 4 triangles; refhost reads meshes of at most 4 triangles");
    EXPECT_EQ(refusal(std::string(65, '#'), limits), "m.obj: 65 bytes; refhost reads mesh files of at most 64 bytes");
    Mesh mesh;
    std::string error;
    EXPECT_FALSE(readObj("/no/such/mesh.obj", {}, mesh, error));
    EXPECT_EQ(error, "/no/such/mesh.obj: cannot open: No such file or directory");
}

TEST(Mesh, HierarchyFindsTheSameNearestTriangleAsTryingEveryOne) {
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(parseObj(examples::vaseObj(), "vase.obj", {}, mesh, error)) << error;
    ASSERT_GT(mesh.triangles.size(), 500u);
    ASSERT_GT(mesh.nodes.size(), 100u);
    int hits = 0;
    for (int i = 0; i < 200; ++i) {
        const double a = i * 0.7, h = (i % 17) * 0.09;
        const Vec origin{3 * std::sin(a), h + 0.2 * std::cos(i * 1.3), -3 * std::cos(a)};
        const Vec direction = unit(Vec{0, 0.6 - h, 0} - origin + Vec{0.1 * std::sin(i * 2.1), 0, 0});
        Mesh::Hit hit;
        double nearest = 0;
        uint32_t triangle = 0;
        const bool expected = bruteForce(mesh, origin, direction, nearest, triangle);
        ASSERT_EQ(mesh.intersect(origin, direction, 1e-9, HUGE_VAL, hit), expected) << "ray " << i;
        if (!expected) continue;
        ++hits;
        EXPECT_EQ(hit.distance, nearest) << "ray " << i;
    }
    EXPECT_GT(hits, 80);
}
