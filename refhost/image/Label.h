// Text labels drawn into 8-bit images: a small bitmap font on a dark box.
#pragma once

#include <cstdint>
#include <string>

#include "refhost/image/Image.h"

namespace refhost {

// Draws `text` (printable ASCII) with its box's top-left corner at (x, y),
// every font pixel `scale` image pixels wide. Clipped to the image.
void drawLabel(Image& image, int32_t x, int32_t y, const std::string& text, int32_t scale);

} // namespace refhost
