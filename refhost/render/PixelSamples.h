// Where in a pixel its camera samples go: the pixel is cut into `count`
// strata of equal size (rows x columns, as square as `count` allows) and each
// sample lies somewhere in its own stratum, at a place that depends only on
// the pixel and the sample's index. Renders are thus the same on every run
// and for any number of threads; one sample is the pixel's centre.
#pragma once

#include <cstdint>

namespace refhost {

struct PixelOffset {
    double x = 0.5, y = 0.5;  // 0 <= x, y < 1 within the pixel
};

// The strata grid for `count` samples: rows * columns == count, rows <= columns.
void strataGrid(int32_t count, int32_t& rows, int32_t& columns);

// A well-mixed 32-bit hash (the finaliser of a common 32-bit hash function).
uint32_t hashBits(uint32_t h);

PixelOffset pixelSample(int32_t pixelX, int32_t pixelY, int32_t index, int32_t count);

} // namespace refhost
