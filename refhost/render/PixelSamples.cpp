#include "refhost/render/PixelSamples.h"

namespace refhost {

uint32_t hashBits(uint32_t h) {
    h ^= h >> 16;
    h *= 0x7feb352dU;
    h ^= h >> 15;
    h *= 0x846ca68bU;
    h ^= h >> 16;
    return h;
}

namespace {

uint32_t mix(uint32_t h) { return hashBits(h); }

double unitInterval(uint32_t h) { return (h >> 8) * (1.0 / 16777216.0); }  // 24 bits: 0 <= value < 1

} // namespace

void strataGrid(int32_t count, int32_t& rows, int32_t& columns) {
    rows = 1;
    for (int32_t r = 1; r * r <= count; ++r)
        if (count % r == 0) rows = r;
    columns = count / rows;
}

PixelOffset pixelSample(int32_t pixelX, int32_t pixelY, int32_t index, int32_t count) {
    if (count <= 1) return {};
    int32_t rows = 1, columns = 1;
    strataGrid(count, rows, columns);
    const uint32_t seed = mix(static_cast<uint32_t>(pixelX) * 0x9E3779B1u ^ mix(static_cast<uint32_t>(pixelY) + 0x632BE5ABu) ^
                              static_cast<uint32_t>(index) * 0x85EBCA77u);
    const double jx = unitInterval(seed);
    const double jy = unitInterval(mix(seed + 0x68E31DA4u));
    PixelOffset offset;
    offset.x = (index % columns + jx) / columns;
    offset.y = (index / columns + jy) / rows;
    return offset;
}

} // namespace refhost
