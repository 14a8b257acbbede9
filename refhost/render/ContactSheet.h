// A contact sheet: the frames of a sequence in one image, in rows, each
// labelled with its frame number.
#pragma once

#include <cstdint>
#include <vector>

#include "refhost/image/Image.h"

namespace refhost {

inline constexpr int64_t kMaxContactSheetPixels = 64ll << 20;

struct SheetFrame {
    int32_t number = 0;
    Image image;
};

// Columns as near the square root of the frame count as fits; a 2-pixel gap
// between frames. Frames must all be the same size.
Image contactSheet(const std::vector<SheetFrame>& frames);
// The sheet's size for `count` frames of width x height, without making it.
void contactSheetSize(int32_t count, int32_t width, int32_t height, int64_t& sheetWidth, int64_t& sheetHeight);

} // namespace refhost
