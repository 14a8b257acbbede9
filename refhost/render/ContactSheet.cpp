#include "refhost/render/ContactSheet.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "refhost/image/Label.h"

namespace refhost {

namespace {

constexpr int32_t kGap = 2;
constexpr uint8_t kGapGrey = 40;

int32_t columnsFor(int32_t count) {
    return std::max<int32_t>(1, static_cast<int32_t>(std::ceil(std::sqrt(static_cast<double>(count)))));
}

} // namespace

void contactSheetSize(int32_t count, int32_t width, int32_t height, int64_t& sheetWidth, int64_t& sheetHeight) {
    const int32_t columns = columnsFor(count);
    const int32_t rows = (count + columns - 1) / columns;
    sheetWidth = static_cast<int64_t>(columns) * width + static_cast<int64_t>(columns + 1) * kGap;
    sheetHeight = static_cast<int64_t>(rows) * height + static_cast<int64_t>(rows + 1) * kGap;
}

Image contactSheet(const std::vector<SheetFrame>& frames) {
    if (frames.empty()) return {};
    const int32_t width = frames.front().image.width, height = frames.front().image.height;
    const int32_t count = static_cast<int32_t>(frames.size());
    int64_t sheetWidth = 0, sheetHeight = 0;
    contactSheetSize(count, width, height, sheetWidth, sheetHeight);
    Image sheet(static_cast<int32_t>(sheetWidth), static_cast<int32_t>(sheetHeight), false);
    for (std::size_t i = 0; i < sheet.rgba.size(); i += 4) {
        sheet.rgba[i] = sheet.rgba[i + 1] = sheet.rgba[i + 2] = kGapGrey;
        sheet.rgba[i + 3] = 255;
    }
    const int32_t columns = columnsFor(count);
    const int32_t scale = std::clamp(height / 120, 1, 3);
    for (int32_t i = 0; i < count; ++i) {
        Image frame = frames[static_cast<std::size_t>(i)].image;
        drawLabel(frame, 2 * scale, 2 * scale, "frame " + std::to_string(frames[static_cast<std::size_t>(i)].number),
                  scale);
        const int32_t x0 = kGap + (i % columns) * (width + kGap);
        const int32_t y0 = kGap + (i / columns) * (height + kGap);
        for (int32_t y = 0; y < std::min(height, frame.height); ++y)
            std::copy_n(frame.pixel(0, y), std::min(width, frame.width) * 4, sheet.pixel(x0, y0 + y));
    }
    return sheet;
}

} // namespace refhost
