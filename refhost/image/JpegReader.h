// JPEG files, read through libjpeg-turbo. The other formats refhost reads are
// decoded by stb_image; its JPEG decoder writes past its tables on damaged
// Huffman tables, so JPEG goes to the library made for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "refhost/image/Image.h"

namespace refhost {

// Whether the first bytes of a file are a JPEG start-of-image marker.
bool looksLikeJpeg(const uint8_t* head, std::size_t size);

// Where the compressed bytes come from: an open file, or bytes in memory.
struct JpegInput {
    FILE* file = nullptr;
    const uint8_t* bytes = nullptr;
    std::size_t size = 0;
};

// Decodes to RGBA (no alpha in JPEG: opaque, hasAlpha false). The size in the
// header is checked against `limits` before any pixel is decoded, and the
// library's memory is bounded by what that size needs. False with a message
// naming `name` otherwise.
bool readJpeg(const JpegInput& input, const std::string& name, const ImageLimits& limits, Image& image,
              std::string& error);

} // namespace refhost
