// The OBJ mesh reader with arbitrary text: it reads or refuses with a message,
// never crashes or reads outside what it parsed, and a mesh it reads can be
// hit: every hit lies inside the ray's range on a triangle of the mesh.
#include <cmath>
#include <string>

#include "refhost/render/Mesh.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    refhost::MeshLimits limits;
    limits.maxTriangles = 20000;  // keeps each run short; the limit itself is what is tested
    refhost::Mesh mesh;
    std::string error;
    if (!refhost::parseObj(text, "fuzz.obj", limits, mesh, error)) {
        if (error.rfind("fuzz.obj: ", 0) != 0) fuzzing::fail("a refusal that does not name the file");
        return 0;
    }
    if (mesh.triangles.empty() || static_cast<int64_t>(mesh.triangles.size()) > limits.maxTriangles)
        fuzzing::fail("a mesh read outside its limits");
    for (const refhost::Mesh::Triangle& t : mesh.triangles)
        for (uint32_t c : t.corner)
            if (c >= mesh.vertices.size()) fuzzing::fail("a triangle corner outside the vertices");
    // Rays from around the mesh's box toward its centre.
    const refhost::Vec low = mesh.nodes.front().low, high = mesh.nodes.front().high;
    const refhost::Vec centre = (low + high) * 0.5;
    const double reach = length(high - low) + 1.0;
    for (int i = 0; i < 8; ++i) {
        const refhost::Vec from = centre + refhost::Vec{(i & 1) ? reach : -reach, (i & 2) ? reach : -reach,
                                                        (i & 4) ? reach : -reach * 0.5};
        const refhost::Vec direction = unit(centre - from);
        refhost::Mesh::Hit hit;
        if (!mesh.intersect(from, direction, 1e-9, HUGE_VAL, hit)) continue;
        if (!(hit.distance > 1e-9) || hit.triangle >= mesh.triangles.size()) fuzzing::fail("a hit outside the ray or mesh");
        double u = 0, v = 0;
        mesh.textureCoordinates(hit, u, v);
        const refhost::Vec n = mesh.shadingNormal(hit);
        (void)n;
    }
    return 0;
}
