#include "refhost/render/Mesh.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "refhost/render/BoundedFile.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wsign-compare"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>
#pragma GCC diagnostic pop

namespace refhost {

namespace {

constexpr uint32_t kLeafSize = 4;

bool finite(const Vec& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

Vec lowest(Vec a, Vec b) { return {std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z)}; }
Vec highest(Vec a, Vec b) { return {std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z)}; }
double axis(const Vec& v, int a) { return a == 0 ? v.x : a == 1 ? v.y : v.z; }

// Counts the corners of every face line before the parser sees the text, so
// that a file claiming too many triangles, or one huge polygon, is refused
// before it costs anything.
bool checkFaces(const std::string& text, const std::string& name, const MeshLimits& limits, std::string& error) {
    int64_t triangles = 0, lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        ++lineNumber;
        std::size_t i = pos;
        while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i + 1 < end && text[i] == 'f' && (text[i + 1] == ' ' || text[i + 1] == '\t')) {
            int64_t corners = 0;
            bool inToken = false;
            for (std::size_t j = i + 1; j < end; ++j) {
                const bool space = text[j] == ' ' || text[j] == '\t' || text[j] == '\r';
                if (!space && !inToken) ++corners;
                inToken = !space;
            }
            if (corners > limits.maxFaceCorners) {
                error = name + ": line " + std::to_string(lineNumber) + ": a face of " + std::to_string(corners) +
                        " corners; refhost reads faces of at most " + std::to_string(limits.maxFaceCorners);
                return false;
            }
            if (corners >= 3) triangles += corners - 2;
            if (triangles > limits.maxTriangles) {
                error = name + ": more than " + std::to_string(limits.maxTriangles) +
                        " triangles; refhost reads meshes of at most " + std::to_string(limits.maxTriangles) +
                        " triangles";
                return false;
            }
        }
        pos = end + 1;
    }
    return true;
}

} // namespace

bool parseObj(const std::string& text, const std::string& name, const MeshLimits& limits, Mesh& mesh,
              std::string& error) {
    if (static_cast<int64_t>(text.size()) > limits.maxFileBytes) {
        error = name + ": " + std::to_string(text.size()) + " bytes; refhost reads mesh files of at most " +
                std::to_string(limits.maxFileBytes) + " bytes";
        return false;
    }
    if (!checkFaces(text, name, limits, error)) return false;

    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warnings, errors;
    std::istringstream in(text);
    // No material reader: a mesh file names no other file that refhost opens.
    if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warnings, &errors, &in, nullptr, true, false)) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == '.')) errors.pop_back();
        error = name + ": cannot read the mesh" + (errors.empty() ? std::string() : ": " + errors);
        return false;
    }

    Mesh out;
    out.path = name;
    for (std::size_t i = 0; i + 2 < attrib.vertices.size(); i += 3) {
        const Vec v{attrib.vertices[i], attrib.vertices[i + 1], attrib.vertices[i + 2]};
        if (!finite(v)) {
            error = name + ": vertex " + std::to_string(i / 3 + 1) + " is not a finite position";
            return false;
        }
        out.vertices.push_back(v);
    }
    for (std::size_t i = 0; i + 2 < attrib.normals.size(); i += 3)
        out.normals.push_back({attrib.normals[i], attrib.normals[i + 1], attrib.normals[i + 2]});
    for (std::size_t i = 0; i + 1 < attrib.texcoords.size(); i += 2) {
        out.uvs.push_back(attrib.texcoords[i]);
        out.uvs.push_back(attrib.texcoords[i + 1]);
    }
    const auto vertexCount = static_cast<int64_t>(out.vertices.size());
    const auto normalCount = static_cast<int64_t>(out.normals.size());
    const auto uvCount = static_cast<int64_t>(out.uvs.size() / 2);
    for (const tinyobj::shape_t& shape : shapes) {
        const std::vector<tinyobj::index_t>& indices = shape.mesh.indices;
        std::size_t at = 0;
        for (unsigned char corners : shape.mesh.num_face_vertices) {
            if (corners != 3 || at + 3 > indices.size()) {
                error = name + ": a face that is not a triangle after triangulation";
                return false;
            }
            Mesh::Triangle t{};
            for (int c = 0; c < 3; ++c) {
                const tinyobj::index_t& index = indices[at + c];
                if (index.vertex_index < 0 || index.vertex_index >= vertexCount) {
                    error = name + ": face " + std::to_string(out.triangles.size() + 1) + " refers to vertex " +
                            std::to_string(static_cast<int64_t>(index.vertex_index) + 1) + " of " +
                            std::to_string(vertexCount);
                    return false;
                }
                t.corner[c] = static_cast<uint32_t>(index.vertex_index);
                t.uv[c] = index.texcoord_index >= 0 && index.texcoord_index < uvCount ? index.texcoord_index : -1;
                t.normal[c] = index.normal_index >= 0 && index.normal_index < normalCount ? index.normal_index : -1;
            }
            at += 3;
            out.triangles.push_back(t);
            if (static_cast<int64_t>(out.triangles.size()) > limits.maxTriangles) {
                error = name + ": more than " + std::to_string(limits.maxTriangles) +
                        " triangles; refhost reads meshes of at most " + std::to_string(limits.maxTriangles) +
                        " triangles";
                return false;
            }
        }
    }
    if (out.triangles.empty()) {
        error = name + ": the mesh has no faces";
        return false;
    }
    out.buildHierarchy();
    mesh = std::move(out);
    return true;
}

bool readObj(const std::string& path, const MeshLimits& limits, Mesh& mesh, std::string& error) {
    std::string text;
    return readBoundedFile(path, limits.maxFileBytes, "mesh files", text, error) &&
           parseObj(text, path, limits, mesh, error);
}

// ---- the hierarchy ----

void Mesh::buildHierarchy() {
    nodes.clear();
    order.resize(triangles.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    if (triangles.empty()) return;
    std::vector<Vec> centres(triangles.size());
    std::vector<Vec> lows(triangles.size()), highs(triangles.size());
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const Vec& a = vertices[triangles[i].corner[0]];
        const Vec& b = vertices[triangles[i].corner[1]];
        const Vec& c = vertices[triangles[i].corner[2]];
        lows[i] = lowest(lowest(a, b), c);
        highs[i] = highest(highest(a, b), c);
        centres[i] = (lows[i] + highs[i]) * 0.5;
    }
    nodes.reserve(2 * triangles.size() / kLeafSize + 1);
    // Median splits keep the tree balanced: its depth is about log2 of the
    // triangle count, well inside the recursion and the traversal stack.
    auto build = [&](auto& self, uint32_t begin, uint32_t end) -> void {
        const uint32_t index = static_cast<uint32_t>(nodes.size());
        nodes.emplace_back();
        Vec low = lows[order[begin]], high = highs[order[begin]];
        Vec centreLow = centres[order[begin]], centreHigh = centreLow;
        for (uint32_t i = begin; i < end; ++i) {
            low = lowest(low, lows[order[i]]);
            high = highest(high, highs[order[i]]);
            centreLow = lowest(centreLow, centres[order[i]]);
            centreHigh = highest(centreHigh, centres[order[i]]);
        }
        nodes[index].low = low;
        nodes[index].high = high;
        if (end - begin <= kLeafSize) {
            nodes[index].first = begin;
            nodes[index].count = end - begin;
            return;
        }
        const Vec extent = centreHigh - centreLow;
        const int split = extent.x >= extent.y && extent.x >= extent.z ? 0 : (extent.y >= extent.z ? 1 : 2);
        const uint32_t middle = begin + (end - begin) / 2;
        std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end,
                         [&](uint32_t a, uint32_t b) { return axis(centres[a], split) < axis(centres[b], split); });
        self(self, begin, middle);
        nodes[index].first = static_cast<uint32_t>(nodes.size());
        nodes[index].count = 0;
        self(self, middle, end);
    };
    build(build, 0, static_cast<uint32_t>(triangles.size()));
}

namespace {

// Whether the ray meets the box between `near` and `far`.
bool meetsBox(const Mesh::Node& node, const Vec& origin, const Vec& inverse, double near, double far) {
    const double o[3] = {origin.x, origin.y, origin.z};
    const double inv[3] = {inverse.x, inverse.y, inverse.z};
    const double lo[3] = {node.low.x, node.low.y, node.low.z};
    const double hi[3] = {node.high.x, node.high.y, node.high.z};
    for (int a = 0; a < 3; ++a) {
        double t0 = (lo[a] - o[a]) * inv[a];
        double t1 = (hi[a] - o[a]) * inv[a];
        if (t0 > t1) std::swap(t0, t1);
        // A ray parallel to the slab and on its edge gives not-a-number: keep it.
        if (t0 > near) near = t0;
        if (t1 < far) far = t1;
        if (near > far) return false;
    }
    return true;
}

} // namespace

bool Mesh::intersect(const Vec& origin, const Vec& direction, double minDistance, double maxDistance,
                     Hit& hit) const {
    if (nodes.empty()) return false;
    const Vec inverse{1.0 / direction.x, 1.0 / direction.y, 1.0 / direction.z};
    double nearest = maxDistance;
    bool found = false;
    uint32_t stack[96];
    int depth = 0;
    stack[depth++] = 0;
    while (depth > 0) {
        const Node& node = nodes[stack[--depth]];
        if (!meetsBox(node, origin, inverse, minDistance, nearest)) continue;
        if (node.count == 0) {
            const uint32_t self = static_cast<uint32_t>(&node - nodes.data());
            if (depth + 2 > 96) continue;  // deeper than any balanced tree of 2^32 triangles
            stack[depth++] = node.first;
            stack[depth++] = self + 1;
            continue;
        }
        for (uint32_t i = node.first; i < node.first + node.count; ++i) {
            const Triangle& t = triangles[order[i]];
            const Vec& a = vertices[t.corner[0]];
            const Vec e1 = vertices[t.corner[1]] - a;
            const Vec e2 = vertices[t.corner[2]] - a;
            const Vec p = cross(direction, e2);
            const double det = dot(e1, p);
            if (!(std::abs(det) > 1e-300)) continue;
            const double inv = 1.0 / det;
            const Vec s = origin - a;
            const double b1 = dot(s, p) * inv;
            if (b1 < 0.0 || b1 > 1.0) continue;
            const Vec q = cross(s, e1);
            const double b2 = dot(direction, q) * inv;
            if (b2 < 0.0 || b1 + b2 > 1.0) continue;
            const double distance = dot(e2, q) * inv;
            if (distance > minDistance && distance < nearest) {
                nearest = distance;
                found = true;
                hit.distance = distance;
                hit.triangle = order[i];
                hit.b1 = b1;
                hit.b2 = b2;
            }
        }
    }
    return found;
}

Vec Mesh::faceNormal(uint32_t triangle) const {
    const Triangle& t = triangles[triangle];
    const Vec& a = vertices[t.corner[0]];
    return unit(cross(vertices[t.corner[1]] - a, vertices[t.corner[2]] - a));
}

Vec Mesh::shadingNormal(const Hit& hit) const {
    const Triangle& t = triangles[hit.triangle];
    if (t.normal[0] < 0 || t.normal[1] < 0 || t.normal[2] < 0) return faceNormal(hit.triangle);
    const double b0 = 1.0 - hit.b1 - hit.b2;
    const Vec n = normals[static_cast<std::size_t>(t.normal[0])] * b0 +
                  normals[static_cast<std::size_t>(t.normal[1])] * hit.b1 +
                  normals[static_cast<std::size_t>(t.normal[2])] * hit.b2;
    return length(n) > 0.0 && std::isfinite(length(n)) ? unit(n) : faceNormal(hit.triangle);
}

void Mesh::textureCoordinates(const Hit& hit, double& u, double& v) const {
    const Triangle& t = triangles[hit.triangle];
    if (t.uv[0] < 0 || t.uv[1] < 0 || t.uv[2] < 0) {
        u = v = 0.0;
        return;
    }
    const double b[3] = {1.0 - hit.b1 - hit.b2, hit.b1, hit.b2};
    u = v = 0.0;
    for (int c = 0; c < 3; ++c) {
        u += b[c] * uvs[2 * static_cast<std::size_t>(t.uv[c])];
        v += b[c] * uvs[2 * static_cast<std::size_t>(t.uv[c]) + 1];
    }
}

} // namespace refhost
