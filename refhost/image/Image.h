// 8-bit RGBA images held by the reference host, and their files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "refhost/image/OutputFile.h"

namespace refhost {

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    bool hasAlpha = true;         // false: written as RGB
    std::vector<uint8_t> rgba;    // width * height * 4, row 0 first

    Image() = default;
    Image(int32_t w, int32_t h, bool alpha = true);
    uint8_t* pixel(int32_t x, int32_t y) { return &rgba[(static_cast<std::size_t>(y) * width + x) * 4]; }
    const uint8_t* pixel(int32_t x, int32_t y) const { return &rgba[(static_cast<std::size_t>(y) * width + x) * 4]; }
};

// What readImage accepts. Image files come from users: the size a file claims
// in its header is checked against these before anything is decoded, and no
// single allocation of the decoder may exceed what an image of that size needs.
// The default fits the 32-bit address space with a filter's source and output
// images and the host's copies of them together.
inline constexpr int64_t kDefaultMaxPixels = int64_t{8192} * 8192;
inline constexpr int32_t kMaxImageSide = 65535;
struct ImageLimits {
    int64_t maxPixels = kDefaultMaxPixels;
    const char* limitName = "--max-pixels";  // what sets maxPixels, for messages
};

// What a file cut short is refused with, after its name, in every format.
inline constexpr const char* kEndsEarly = "the file ends early";

// Reads PNG, JPEG, BMP or TGA (grey, grey+alpha, RGB or RGBA, 8 bits), expanded
// to four channels with opaque alpha where the file has none. False with a
// message in `error`, naming the file, when it cannot be read or decoded, ends
// before its image does, or claims more pixels than the limits allow.
bool readImage(const std::string& path, Image& image, std::string& error, const ImageLimits& limits = {});
// The same for a file's bytes in memory; `name` stands for the file in messages.
bool decodeImage(const uint8_t* bytes, std::size_t size, const std::string& name, Image& image,
                 std::string& error, const ImageLimits& limits = {});

// Whether an image of `width` x `height` pixels may be read; otherwise false
// with a message naming `name`, the size claimed and the limit.
bool imageSizeAllowed(int64_t width, int64_t height, const std::string& name, const ImageLimits& limits,
                      std::string& error);
// The largest single allocation a decoder may make for an image of `pixels`.
std::size_t decodeAllowanceFor(int64_t pixels);

// "464.8 Mpixel"; below a tenth of a megapixel, "768 pixels".
std::string megapixels(int64_t pixels);

// Writes PNG (RGBA, or RGB when the image has no alpha) with
// writeFileAtomically: whole, or not at all.
bool writePng(const std::string& path, const Image& image, std::string& error);

} // namespace refhost
