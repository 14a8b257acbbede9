// Three doubles as the host hands vectors to modules, and the few operations
// the reference host's scene and renderer need on them.
#pragma once

#include <cmath>

namespace refhost {

struct Vec {
    double x = 0.0, y = 0.0, z = 0.0;
};

inline Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec operator-(Vec a) { return {-a.x, -a.y, -a.z}; }
inline Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vec operator*(Vec a, Vec b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline Vec& operator+=(Vec& a, Vec b) { return a = a + b; }
inline double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline double length(Vec a) { return std::sqrt(dot(a, a)); }
// A zero (or not-a-number) vector has no direction: it stands for straight up.
inline Vec unit(Vec a) {
    const double l = length(a);
    return l > 0.0 ? a * (1.0 / l) : Vec{0, 1, 0};
}

} // namespace refhost
