#include "refhost/render/Texture.h"

#include <cmath>

namespace refhost {

namespace {

// The texel grid coordinate of `t` in an image `size` texels across: the
// integer part of the first of the two texels to mix (wrapped into 0..size-1)
// and the weight of the second.
void texelPair(double t, int32_t size, int32_t& first, int32_t& second, double& weight) {
    double wrapped = t - std::floor(t);  // 0 <= wrapped < 1, or not-a-number
    if (!(wrapped >= 0.0 && wrapped < 1.0)) wrapped = 0.0;
    const double position = wrapped * size - 0.5;
    const double base = std::floor(position);
    weight = position - base;
    first = static_cast<int32_t>(base);
    if (first < 0) first += size;
    if (first >= size) first -= size;
    second = first + 1 == size ? 0 : first + 1;
}

} // namespace

Vec Texture::lookup(double u, double v) const {
    int32_t x0, x1, y0, y1;
    double fx, fy;
    texelPair(u, image.width, x0, x1, fx);
    texelPair(v, image.height, y0, y1, fy);
    const uint8_t* a = image.pixel(x0, y0);
    const uint8_t* b = image.pixel(x1, y0);
    const uint8_t* c = image.pixel(x0, y1);
    const uint8_t* d = image.pixel(x1, y1);
    double out[3];
    for (int i = 0; i < 3; ++i) {
        const double top = a[i] * (1.0 - fx) + b[i] * fx;
        const double bottom = c[i] * (1.0 - fx) + d[i] * fx;
        out[i] = (top * (1.0 - fy) + bottom * fy) / 255.0;
    }
    return {out[0], out[1], out[2]};
}

} // namespace refhost
