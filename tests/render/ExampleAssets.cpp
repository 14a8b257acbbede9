#include "tests/render/ExampleAssets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "refhost/render/PixelSamples.h"

namespace examples {

namespace {

uint32_t hash(uint32_t x) { return refhost::hashBits(x); }
// -1 .. 1, the same for the same arguments.
double noise(uint32_t a, uint32_t b, uint32_t c = 0) {
    return (hash(a * 73856093u ^ hash(b * 19349663u ^ hash(c + 83492791u))) >> 8) / 8388608.0 - 1.0;
}

uint8_t byte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 1.0) * 255.0 + 0.5); }

void set(refhost::Image& image, int32_t x, int32_t y, double r, double g, double b) {
    uint8_t* p = image.pixel(x, y);
    p[0] = byte(r);
    p[1] = byte(g);
    p[2] = byte(b);
    p[3] = 255;
}

} // namespace

refhost::Image paintedChart() {
    // Display-encoded colours as a painter mixes them: saturated hues, earths and greys.
    static const double colours[16][3] = {
        {0.80, 0.12, 0.10}, {0.92, 0.48, 0.10}, {0.93, 0.82, 0.20}, {0.45, 0.66, 0.18},
        {0.10, 0.52, 0.34}, {0.12, 0.45, 0.70}, {0.16, 0.22, 0.62}, {0.50, 0.20, 0.58},
        {0.86, 0.55, 0.62}, {0.62, 0.40, 0.22}, {0.42, 0.26, 0.16}, {0.78, 0.70, 0.52},
        {0.08, 0.08, 0.08}, {0.30, 0.30, 0.30}, {0.60, 0.60, 0.60}, {0.92, 0.91, 0.88},
    };
    constexpr int32_t kSize = 256, kCell = 64, kBorder = 5;
    refhost::Image image(kSize, kSize, false);
    for (int32_t y = 0; y < kSize; ++y) {
        for (int32_t x = 0; x < kSize; ++x) {
            const int32_t cx = x / kCell, cy = y / kCell;
            const int32_t lx = x % kCell, ly = y % kCell;
            // Ragged swatch edges on a warm paper ground.
            const double ragged = 2.0 * noise(static_cast<uint32_t>(y), static_cast<uint32_t>(cx), 1) +
                                  2.0 * noise(static_cast<uint32_t>(x), static_cast<uint32_t>(cy), 2);
            const bool paper = lx < kBorder + ragged || lx > kCell - kBorder + ragged || ly < kBorder + ragged ||
                               ly > kCell - kBorder + ragged;
            if (paper) {
                const double grain = 0.02 * noise(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 3);
                set(image, x, y, 0.93 + grain, 0.90 + grain, 0.83 + grain);
                continue;
            }
            const double* c = colours[cy * 4 + cx];
            // Horizontal brush strokes: each stroke a little lighter or darker,
            // with bristle lines along it.
            const uint32_t stroke = static_cast<uint32_t>(ly / 6 + cy * 16);
            const double shade = 0.06 * noise(stroke, static_cast<uint32_t>(cx), 4) +
                                 0.025 * noise(static_cast<uint32_t>(y), static_cast<uint32_t>(cx), 5) +
                                 0.01 * noise(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 6);
            set(image, x, y, c[0] + shade, c[1] + shade, c[2] + shade);
        }
    }
    return image;
}

refhost::Image bricks() {
    constexpr int32_t kWidth = 256, kHeight = 128, kBrickW = 64, kBrickH = 32, kMortar = 4;
    refhost::Image image(kWidth, kHeight, false);
    for (int32_t y = 0; y < kHeight; ++y) {
        const int32_t course = y / kBrickH;
        const int32_t shift = course % 2 ? kBrickW / 2 : 0;  // stretcher bond
        for (int32_t x = 0; x < kWidth; ++x) {
            const int32_t bx = (x + shift) % kWidth;
            const int32_t brick = bx / kBrickW + course * 8;
            const bool mortar = y % kBrickH < kMortar || bx % kBrickW < kMortar;
            const double grain = noise(static_cast<uint32_t>(x), static_cast<uint32_t>(y), 7);
            if (mortar) {
                set(image, x, y, 0.70 + 0.04 * grain, 0.68 + 0.04 * grain, 0.62 + 0.04 * grain);
                continue;
            }
            // Each brick its own fired colour, with a speckled face.
            const double tone = 0.08 * noise(static_cast<uint32_t>(brick), 11);
            const double speck = 0.05 * grain;
            set(image, x, y, 0.66 + tone + speck, 0.30 + 0.6 * tone + speck, 0.22 + 0.4 * tone + speck);
        }
    }
    return image;
}

std::string vaseObj() {
    // The profile, from the foot up: radius and height.
    static const double profile[][2] = {{0.00, 0.00}, {0.30, 0.00}, {0.34, 0.06}, {0.46, 0.30}, {0.50, 0.50},
                                        {0.44, 0.75}, {0.28, 0.95}, {0.22, 1.10}, {0.26, 1.25}, {0.30, 1.30}};
    constexpr int kRings = sizeof profile / sizeof profile[0];
    constexpr int kSegments = 32;
    std::string text = "# A lathe-turned vase made by make_example_assets: " + std::to_string(kRings) +
                       " rings of " + std::to_string(kSegments) + " segments.\n";
    char line[128];
    // One more column of vertices than segments, so that u runs 0 to 1 round
    // without a seam in the texture coordinates.
    for (int r = 0; r < kRings; ++r) {
        for (int s = 0; s <= kSegments; ++s) {
            const double angle = 2.0 * std::numbers::pi * s / kSegments;
            std::snprintf(line, sizeof line, "v %.6f %.6f %.6f\n", profile[r][0] * std::sin(angle), profile[r][1],
                          -profile[r][0] * std::cos(angle));
            text += line;
        }
    }
    for (int r = 0; r < kRings; ++r) {
        for (int s = 0; s <= kSegments; ++s) {
            std::snprintf(line, sizeof line, "vt %.6f %.6f\n", static_cast<double>(s) / kSegments,
                          profile[r][1] / profile[kRings - 1][1]);
            text += line;
        }
    }
    // Smooth normals: across the profile's tangent at each ring, turned round.
    for (int r = 0; r < kRings; ++r) {
        const int below = r > 0 ? r - 1 : r, above = r + 1 < kRings ? r + 1 : r;
        const double dr = profile[above][0] - profile[below][0], dh = profile[above][1] - profile[below][1];
        const double l = std::sqrt(dr * dr + dh * dh);
        for (int s = 0; s <= kSegments; ++s) {
            const double angle = 2.0 * std::numbers::pi * s / kSegments;
            std::snprintf(line, sizeof line, "vn %.6f %.6f %.6f\n", dh / l * std::sin(angle), -dr / l,
                          -dh / l * std::cos(angle));
            text += line;
        }
    }
    auto index = [](int r, int s) { return r * (kSegments + 1) + s + 1; };
    for (int r = 0; r + 1 < kRings; ++r) {
        for (int s = 0; s < kSegments; ++s) {
            const int a = index(r, s), b = index(r, s + 1), c = index(r + 1, s + 1), d = index(r + 1, s);
            // Wound so that the outside faces out (left-handed: clockwise seen from outside).
            std::snprintf(line, sizeof line, "f %d/%d/%d %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, d, d, d, c, c, c, b, b, b);
            text += line;
        }
    }
    return text;
}

} // namespace examples
