// Three doubles by value: positions, directions and colours. The layout is the
// host's for vector arguments, so a Vec3's address can be handed to the host.
#pragma once

#include <cmath>

namespace velorastin {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    constexpr Vec3() = default;
    constexpr Vec3(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}

    Vec3& scale(double factor) {
        x *= factor;
        y *= factor;
        z *= factor;
        return *this;
    }

    // Unit length in place. A vector without a usable length (zero, or not a
    // number) becomes the up vector (0, 1, 0).
    Vec3& normalise() {
        const double length = std::sqrt(x * x + y * y + z * z);
        if (length > 0.0) {
            const double inverse = 1.0 / length;
            x *= inverse;
            y *= inverse;
            z *= inverse;
        } else {
            x = 0.0;
            y = 1.0;
            z = 0.0;
        }
        return *this;
    }

    double* data() { return &x; }
    const double* data() const { return &x; }
};
static_assert(sizeof(Vec3) == 24);

constexpr Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

inline Vec3 vec3From(const double v[3]) { return {v[0], v[1], v[2]}; }
inline void storeVec3(const Vec3& v, double out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

// Module-wide constants, set at load and never changed.
extern const Vec3 origin;    // (0, 0, 0)
extern const Vec3 upVector;  // (0, 1, 0)
extern const Vec3 white;     // (1, 1, 1)

} // namespace velorastin
