#include "refhost/image/Label.h"

#include <algorithm>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb_easy_font.h>
#pragma GCC diagnostic pop

namespace refhost {

namespace {

// The font's vertex layout: x, y, z as floats and four colour bytes.
struct FontVertex {
    float x, y, z;
    unsigned char colour[4];
};
static_assert(sizeof(FontVertex) == 16);

void fillRect(Image& image, int32_t x0, int32_t y0, int32_t x1, int32_t y1, const uint8_t rgb[3], int32_t keep) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, image.width);
    y1 = std::min(y1, image.height);
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = x0; x < x1; ++x) {
            uint8_t* p = image.pixel(x, y);
            // keep/256 of the old pixel shows through
            for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] * keep + rgb[c] * (256 - keep)) >> 8);
            p[3] = 255;
        }
    }
}

} // namespace

void drawLabel(Image& image, int32_t x, int32_t y, const std::string& text, int32_t scale) {
    if (text.empty() || scale < 1) return;
    std::vector<char> mutableText(text.begin(), text.end());
    mutableText.push_back('\0');
    const int32_t padding = 3 * scale;
    const int32_t textWidth = stb_easy_font_width(mutableText.data()) * scale;
    const int32_t textHeight = stb_easy_font_height(mutableText.data()) * scale;
    const uint8_t box[3] = {0, 0, 0};
    fillRect(image, x, y, x + textWidth + 2 * padding, y + textHeight + 2 * padding, box, 96);

    std::vector<FontVertex> vertices(text.size() * 80 + 64);
    const int quads = stb_easy_font_print(0.0f, 0.0f, mutableText.data(), nullptr, vertices.data(),
                                          static_cast<int>(vertices.size() * sizeof(FontVertex)));
    const uint8_t ink[3] = {255, 255, 255};
    for (int q = 0; q < quads; ++q) {
        // Each quad is an axis-aligned rectangle: corners 0 and 2 are opposite.
        const FontVertex& a = vertices[static_cast<std::size_t>(q) * 4];
        const FontVertex& b = vertices[static_cast<std::size_t>(q) * 4 + 2];
        const int32_t left = x + padding + static_cast<int32_t>(std::min(a.x, b.x) * scale);
        const int32_t top = y + padding + static_cast<int32_t>(std::min(a.y, b.y) * scale);
        const int32_t right = x + padding + static_cast<int32_t>(std::max(a.x, b.x) * scale);
        const int32_t bottom = y + padding + static_cast<int32_t>(std::max(a.y, b.y) * scale);
        fillRect(image, left, top, right, bottom, ink, 0);
    }
}

} // namespace refhost
