#include "refhost/image/Image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#define STBI_ONLY_TGA
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb_image.h>
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace refhost {

Image::Image(int32_t w, int32_t h, bool alpha)
    : width(w), height(h), hasAlpha(alpha), rgba(static_cast<std::size_t>(w > 0 ? w : 0) * (h > 0 ? h : 0) * 4, 0) {}

bool readImage(const std::string& path, Image& image, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    int w = 0, h = 0, channels = 0;
    if (stbi_is_16_bit_from_file(file)) {
        std::fclose(file);
        error = path + ": 16-bit images are not supported (8 bits per channel only)";
        return false;
    }
    stbi_uc* data = stbi_load_from_file(file, &w, &h, &channels, 4);
    std::fclose(file);
    if (!data) {
        error = path + ": cannot decode image: " + stbi_failure_reason();
        return false;
    }
    image = Image(w, h, channels == 2 || channels == 4);
    std::memcpy(image.rgba.data(), data, image.rgba.size());
    stbi_image_free(data);
    return true;
}

bool checkWritable(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "no output file given";
        return false;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = path + ": is a folder";
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (access(folder.c_str(), W_OK) != 0) {
        error = path + ": cannot write into " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool writeFileAtomically(const std::string& path, const std::string& what,
                         bool (*write)(const char* tempPath, const void* data), const void* data,
                         std::string& error) {
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = path + ": cannot write " + what + ": " + std::strerror(errno);
        return false;
    }
    close(fd);
    if (!write(temp.c_str(), data)) {
        unlink(temp.c_str());
        error = path + ": cannot write " + what;
        return false;
    }
    // mkstemp creates the file private; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp.c_str(), 0666 & ~mask);
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": cannot write " + what + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

namespace {

bool writePngFile(const char* tempPath, const void* data) {
    const Image& image = *static_cast<const Image*>(data);
    if (image.width <= 0 || image.height <= 0) return false;
    const int channels = image.hasAlpha ? 4 : 3;
    std::vector<uint8_t> packed;
    const uint8_t* pixels = image.rgba.data();
    if (!image.hasAlpha) {
        packed.reserve(static_cast<std::size_t>(image.width) * image.height * 3);
        for (std::size_t i = 0; i < image.rgba.size(); i += 4) packed.insert(packed.end(), &image.rgba[i], &image.rgba[i + 3]);
        pixels = packed.data();
    }
    return stbi_write_png(tempPath, image.width, image.height, channels, pixels, image.width * channels) != 0;
}

} // namespace

bool writePng(const std::string& path, const Image& image, std::string& error) {
    if (image.width <= 0 || image.height <= 0) {
        error = path + ": cannot write an image of " + std::to_string(image.width) + " x " +
                std::to_string(image.height) + " pixels as PNG";
        return false;
    }
    return writeFileAtomically(path, "PNG image", writePngFile, &image, error);
}

} // namespace refhost
