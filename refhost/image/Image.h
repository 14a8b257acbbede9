// 8-bit RGBA images held by the reference host, and their files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Reads PNG, JPEG, BMP or TGA (grey, grey+alpha, RGB or RGBA, 8 bits), expanded
// to four channels with opaque alpha where the file has none. False with a
// message in `error` when the file cannot be read or decoded.
bool readImage(const std::string& path, Image& image, std::string& error);

// Writes PNG (RGBA, or RGB when the image has no alpha) through a temporary
// file in the same folder, renamed over `path` only when complete.
bool writePng(const std::string& path, const Image& image, std::string& error);

// Whether a file can be created at `path` (its folder exists and is writable,
// and `path` is not a folder). False with a message in `error` otherwise.
bool checkWritable(const std::string& path, std::string& error);

// Writes `path` through a temporary file next to it: `write` fills the
// temporary file; it is renamed over `path` only when `write` succeeded.
bool writeFileAtomically(const std::string& path, const std::string& what,
                         bool (*write)(const char* tempPath, const void* data), const void* data,
                         std::string& error);

} // namespace refhost
