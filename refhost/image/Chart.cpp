#include "refhost/image/Chart.h"

namespace refhost {

Image makeChart(int32_t width, int32_t height) {
    Image chart(width, height, false);
    // Upper half: a grey ramp from 0 to 255, left to right.
    // Lower half: swatches of saturated colours and greys.
    static const uint8_t swatches[][3] = {
        {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 255, 255}, {255, 0, 255}, {255, 255, 0},
        {192, 64, 32}, {32, 96, 192}, {64, 64, 64}, {128, 128, 128}, {192, 192, 192}, {255, 255, 255},
    };
    constexpr int32_t kSwatches = sizeof swatches / sizeof swatches[0];
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* p = chart.pixel(x, y);
            if (y < height / 2) {
                const auto v = static_cast<uint8_t>(width > 1 ? x * 255 / (width - 1) : 0);
                p[0] = p[1] = p[2] = v;
            } else {
                const uint8_t* s = swatches[x * kSwatches / width];
                p[0] = s[0];
                p[1] = s[1];
                p[2] = s[2];
            }
            p[3] = 255;
        }
    }
    return chart;
}

} // namespace refhost
