#include "refhost/render/Mesh.h"

#include <algorithm>
#include <array>
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
// The parser counts a face's corners in a byte.
constexpr int64_t kMostFaceCorners = 256;

bool finite(const Vec& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

Vec lowest(Vec a, Vec b) { return {std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z)}; }
Vec highest(Vec a, Vec b) { return {std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z)}; }
double axis(const Vec& v, int a) { return a == 0 ? v.x : a == 1 ? v.y : v.z; }

// Counts the corners of every face line before the parser sees the text, so
// that a file claiming too many triangles, or one huge polygon, is refused
// before it costs anything.
bool checkFaces(const std::string& text, const std::string& name, const MeshLimits& limits, std::string& error) {
    const int64_t maxCorners = std::min<int64_t>(limits.maxFaceCorners, kMostFaceCorners);
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
            if (corners > maxCorners) {
                error = name + ": line " + std::to_string(lineNumber) + ": a face of " + std::to_string(corners) +
                        " corners; refhost reads faces of at most " + std::to_string(maxCorners);
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

// Cuts faces into triangles, keeping each face's winding: a face of n corners
// always gives n - 2 triangles, as corner numbers within the face. The buffers
// are kept from face to face.
class FaceCutter {
public:
    const std::vector<std::array<uint32_t, 3>>& cut(const std::vector<Vec>& corners) {
        triangles_.clear();
        const auto n = static_cast<uint32_t>(corners.size());
        if (n == 3) {
            triangles_.push_back({0, 1, 2});
        } else if (n == 4) {
            cutQuad(corners);
        } else {
            cutPolygon(corners);
        }
        return triangles_;
    }

private:
    // Along the shorter diagonal, unless only the other one lies inside.
    void cutQuad(const std::vector<Vec>& p) {
        const Vec normal = cross(p[2] - p[0], p[3] - p[1]);
        auto turns = [&](int a, int b, int c) { return dot(cross(p[b] - p[a], p[c] - p[a]), normal) > 0.0; };
        const bool inside02 = turns(0, 1, 2) && turns(0, 2, 3);
        const bool inside13 = turns(0, 1, 3) && turns(1, 2, 3);
        const double squared02 = dot(p[2] - p[0], p[2] - p[0]);
        const double squared13 = dot(p[3] - p[1], p[3] - p[1]);
        if (inside02 != inside13 ? inside02 : squared02 < squared13) {
            triangles_.push_back({0, 1, 2});
            triangles_.push_back({0, 2, 3});
        } else {
            triangles_.push_back({0, 1, 3});
            triangles_.push_back({1, 2, 3});
        }
    }

    // Ear clipping in the face's plane (from Newell's normal), where the face
    // winds counter-clockwise.
    void cutPolygon(const std::vector<Vec>& p) {
        const auto n = static_cast<uint32_t>(p.size());
        Vec normal;
        for (uint32_t i = 1; i + 1 < n; ++i) normal += cross(p[i] - p[0], p[i + 1] - p[0]);
        const double area = length(normal);
        next_.resize(n);
        previous_.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            next_[i] = i + 1 == n ? 0 : i + 1;
            previous_[i] = i == 0 ? n - 1 : i - 1;
        }
        if (!(area > 0.0 && std::isfinite(area))) {
            fan(0, n);  // no area to keep (the corners are on one line)
            return;
        }
        const Vec w = normal * (1.0 / area);
        const Vec least = std::abs(w.x) <= std::abs(w.y) && std::abs(w.x) <= std::abs(w.z) ? Vec{1, 0, 0}
                          : std::abs(w.y) <= std::abs(w.z)                                 ? Vec{0, 1, 0}
                                                                                           : Vec{0, 0, 1};
        const Vec u = unit(cross(least, w));
        const Vec v = cross(w, u);
        x_.resize(n);
        y_.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            x_[i] = dot(p[i] - p[0], u);
            y_[i] = dot(p[i] - p[0], v);
        }
        // Only a corner that does not turn left can lie inside an ear.
        blocking_.assign(n, 0);
        blockers_.clear();
        for (uint32_t i = 0; i < n; ++i) markBlocking(i);
        removed_.assign(n, 0);

        uint32_t remaining = n, at = 0, misses = 0;
        bool strict = true;
        while (remaining > 3) {
            if (isEar(at, strict)) {
                const uint32_t before = previous_[at], after = next_[at];
                triangles_.push_back({before, at, after});
                removed_[at] = 1;
                next_[before] = after;
                previous_[after] = before;
                --remaining;
                markBlocking(before);
                markBlocking(after);
                at = after;
                misses = 0;
                strict = true;
                continue;
            }
            at = next_[at];
            if (++misses < remaining) continue;
            // A full round without an ear: corners touching an ear's edge no
            // longer block it, and then what is left is not a simple polygon.
            if (!strict) {
                fan(at, remaining);
                return;
            }
            strict = false;
            misses = 0;
        }
        triangles_.push_back({previous_[at], at, next_[at]});
    }

    double turn(uint32_t a, uint32_t b, uint32_t c) const {
        return (x_[b] - x_[a]) * (y_[c] - y_[a]) - (y_[b] - y_[a]) * (x_[c] - x_[a]);
    }

    void markBlocking(uint32_t i) {
        const bool blocking = !(turn(previous_[i], i, next_[i]) > 0.0);
        if (blocking && !blocking_[i]) blockers_.push_back(i);
        blocking_[i] = blocking;
    }

    bool same(uint32_t a, uint32_t b) const { return x_[a] == x_[b] && y_[a] == y_[b]; }

    // Whether the corner at `i` turns left and no other corner lies in its
    // triangle (strict: nor on its edges); corners at the same place as one
    // of the triangle's own are not in it.
    bool isEar(uint32_t i, bool strict) const {
        const uint32_t a = previous_[i], c = next_[i];
        if (!(turn(a, i, c) > 0.0)) return false;
        for (uint32_t j : blockers_) {
            if (removed_[j] || !blocking_[j] || j == a || j == i || j == c) continue;
            if (same(j, a) || same(j, i) || same(j, c)) continue;
            const double t0 = turn(a, i, j), t1 = turn(i, c, j), t2 = turn(c, a, j);
            if (strict ? t0 >= 0.0 && t1 >= 0.0 && t2 >= 0.0 : t0 > 0.0 && t1 > 0.0 && t2 > 0.0) return false;
        }
        return true;
    }

    // The `count` corners left from `first` on, as a fan.
    void fan(uint32_t first, uint32_t count) {
        uint32_t b = next_[first];
        for (uint32_t k = 2; k < count; ++k) {
            triangles_.push_back({first, b, next_[b]});
            b = next_[b];
        }
    }

    std::vector<std::array<uint32_t, 3>> triangles_;
    std::vector<uint32_t> next_, previous_, blockers_;
    std::vector<uint8_t> blocking_, removed_;
    std::vector<double> x_, y_;
};

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
    // Faces are kept whole and cut below, where concave ones keep their shape.
    if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warnings, &errors, &in, nullptr, false, false)) {
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
    FaceCutter cutter;
    std::vector<Vec> corners;
    int64_t faceNumber = 0;
    for (const tinyobj::shape_t& shape : shapes) {
        const std::vector<tinyobj::index_t>& indices = shape.mesh.indices;
        std::size_t at = 0;
        for (unsigned char stored : shape.mesh.num_face_vertices) {
            // The parser keeps a face's corner count in a byte: 256 reads 0.
            const std::size_t count = stored < 3 ? stored + 256u : stored;
            ++faceNumber;
            if (at + count > indices.size()) {
                error = name + ": face " + std::to_string(faceNumber) + " has fewer corners than its line";
                return false;
            }
            corners.clear();
            for (std::size_t c = 0; c < count; ++c) {
                const int vertex = indices[at + c].vertex_index;
                if (vertex < 0 || vertex >= vertexCount) {
                    error = name + ": face " + std::to_string(faceNumber) + " refers to vertex " +
                            std::to_string(static_cast<int64_t>(vertex) + 1) + " of " + std::to_string(vertexCount);
                    return false;
                }
                corners.push_back(out.vertices[static_cast<std::size_t>(vertex)]);
            }
            for (const std::array<uint32_t, 3>& cut : cutter.cut(corners)) {
                Mesh::Triangle t{};
                for (int c = 0; c < 3; ++c) {
                    const tinyobj::index_t& index = indices[at + cut[c]];
                    t.corner[c] = static_cast<uint32_t>(index.vertex_index);
                    t.uv[c] = index.texcoord_index >= 0 && index.texcoord_index < uvCount ? index.texcoord_index : -1;
                    t.normal[c] = index.normal_index >= 0 && index.normal_index < normalCount ? index.normal_index : -1;
                }
                out.triangles.push_back(t);
            }
            at += count;
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
