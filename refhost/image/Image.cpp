#include "refhost/image/Image.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "refhost/image/JpegReader.h"
#include "refhost/image/OutputFile.h"
#include "refhost/platform/Platform.h"

#define STB_IMAGE_IMPLEMENTATION
// Files are opened by the platform layer (names are UTF-8 on every system).
#define STBI_NO_STDIO
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_TGA
#define STBI_MALLOC(size) refhost::boundedMalloc(size)
#define STBI_REALLOC(pointer, size) refhost::boundedRealloc(pointer, size)
#define STBI_FREE(pointer) std::free(pointer)
#define STB_IMAGE_WRITE_IMPLEMENTATION
namespace refhost {
namespace {

// The largest single allocation the decoder may make while it decodes one
// file, set from the size the file's header claims. A compressed stream that
// expands past what its image needs is refused instead of taking the memory.
thread_local std::size_t decodeAllowance = 0;
thread_local bool allowanceExceeded = false;

} // namespace

void* boundedMalloc(std::size_t size) {
    if (size > decodeAllowance) {
        allowanceExceeded = true;
        return nullptr;
    }
    return std::malloc(size);
}

void* boundedRealloc(void* pointer, std::size_t size) {
    if (size > decodeAllowance) {
        allowanceExceeded = true;
        return nullptr;
    }
    return std::realloc(pointer, size);
}

} // namespace refhost

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

std::string megapixels(int64_t pixels) {
    if (pixels < 100000) return std::to_string(pixels) + " pixels";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f Mpixel", static_cast<double>(pixels) / 1e6);
    return text;
}

bool imageSizeAllowed(int64_t w, int64_t h, const std::string& name, const ImageLimits& limits,
                      std::string& error) {
    const std::string claim = name + ": the file claims " + std::to_string(w) + " x " + std::to_string(h) + " pixels";
    if (w <= 0 || h <= 0) {
        error = claim + ": there is no image to read";
        return false;
    }
    if (w > kMaxImageSide || h > kMaxImageSide) {
        error = claim + "; refhost reads images of at most " + std::to_string(kMaxImageSide) + " pixels on a side";
        return false;
    }
    if (w * h > limits.maxPixels) {
        error = claim + " (" + megapixels(w * h) + "); refhost reads at most " + megapixels(limits.maxPixels) +
                " (" + limits.limitName + ")";
        return false;
    }
    return true;
}

// Generous for every format: four 8-bit channels, the decoder's own working
// buffers (PNG's filtered rows, JPEG's component planes), and a fixed margin.
std::size_t decodeAllowanceFor(int64_t pixels) {
    return static_cast<std::size_t>(std::min<int64_t>(pixels * 8 + (int64_t{1} << 20), SIZE_MAX / 2));
}

namespace {

// The bytes of one file, handed to stb_image through reader callbacks whether
// they are on disk or in memory (its buffer path skips chunks by pointer
// arithmetic without checking the length against the buffer). The reader notes
// when the decoder wants bytes the file does not have: stb_image reads them as
// zeros, so a BMP or TGA file cut short would come out with black rows.
class Source {
public:
    virtual ~Source() = default;
    int info(int* w, int* h, int* n) { return stbi_info_from_callbacks(&callbacks, rewound(), w, h, n); }
    int is16Bit() { return stbi_is_16_bit_from_callbacks(&callbacks, rewound()); }
    stbi_uc* load(int* w, int* h, int* n) { return stbi_load_from_callbacks(&callbacks, rewound(), w, h, n, 4); }
    // Reads up to `size` bytes from the start, for a look at the header.
    std::size_t head(uint8_t* data, std::size_t size) {
        rewind();
        return readBytes(reinterpret_cast<char*>(data), size);
    }
    // Whether the last decode wanted bytes past the end of the file.
    bool endedEarly() const { return endedEarly_; }

protected:
    virtual void rewind() = 0;
    virtual std::size_t readBytes(char* data, std::size_t size) = 0;
    virtual void skipBytes(int n) = 0;
    virtual bool atEnd() const = 0;

private:
    // stb_image fills its buffer in reads of this size; a refill that comes
    // back short is how the last bytes of every file arrive. Any other read
    // that comes back short, or a read with nothing left, is the decoder
    // asking for bytes the file lacks.
    static constexpr int kDecoderBufferBytes = 128;

    void* rewound() {
        rewind();
        endedEarly_ = false;
        return this;
    }
    static int read(void* user, char* data, int size) {
        auto& self = *static_cast<Source*>(user);
        const std::size_t wanted = static_cast<std::size_t>(size > 0 ? size : 0);
        const std::size_t got = self.readBytes(data, wanted);
        if (got < wanted && (got == 0 || size != kDecoderBufferBytes)) self.endedEarly_ = true;
        return static_cast<int>(got);
    }
    static void skip(void* user, int n) { static_cast<Source*>(user)->skipBytes(n); }
    static int eof(void* user) { return static_cast<const Source*>(user)->atEnd(); }
    static constexpr stbi_io_callbacks callbacks = {read, skip, eof};

    bool endedEarly_ = false;
};

class FileSource final : public Source {
public:
    explicit FileSource(FILE* file) : file_(file) {}

private:
    void rewind() override { std::rewind(file_); }
    std::size_t readBytes(char* data, std::size_t size) override { return std::fread(data, 1, size, file_); }
    void skipBytes(int n) override {
        std::fseek(file_, n, SEEK_CUR);
        // A seek clears the end-of-file flag; reading a byte sets it again
        // when the seek went to or past the end.
        const int c = std::fgetc(file_);
        if (c != EOF) std::ungetc(c, file_);
    }
    bool atEnd() const override { return std::feof(file_) || std::ferror(file_); }

    FILE* file_;
};

class MemorySource final : public Source {
public:
    MemorySource(const uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

private:
    void rewind() override { position_ = 0; }
    std::size_t readBytes(char* data, std::size_t size) override {
        const std::size_t n = std::min(size_ - position_, size);
        std::memcpy(data, bytes_ + position_, n);
        position_ += n;
        return n;
    }
    void skipBytes(int n) override {
        // Negative skips go back, as a file's seek would, but never before the start.
        if (n < 0)
            position_ -= std::min(position_, static_cast<std::size_t>(-static_cast<int64_t>(n)));
        else
            position_ += std::min(size_ - position_, static_cast<std::size_t>(n));
    }
    bool atEnd() const override { return position_ >= size_; }

    const uint8_t* bytes_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// The size a PNG file's header claims, for a file the decoder refuses to
// look at because of that size; false when the bytes are not a PNG header.
bool pngClaim(Source& source, int64_t& width, int64_t& height) {
    uint8_t head[24];
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (source.head(head, sizeof head) != sizeof head || std::memcmp(head, kSignature, 8) != 0 ||
        std::memcmp(head + 12, "IHDR", 4) != 0)
        return false;
    auto bigEndian = [&](int at) {
        return int64_t{head[at]} << 24 | int64_t{head[at + 1]} << 16 | int64_t{head[at + 2]} << 8 | head[at + 3];
    };
    width = bigEndian(16);
    height = bigEndian(20);
    return true;
}

bool decode(Source&& source, const std::string& name, Image& image, std::string& error,
            const ImageLimits& limits) {
    int w = 0, h = 0, channels = 0;
    decodeAllowance = decodeAllowanceFor(0);
    allowanceExceeded = false;
    if (!source.info(&w, &h, &channels)) {
        // The decoder will not look at a PNG file claiming more than it can
        // hold; the claim is refused as any other format's is.
        int64_t claimedWidth = 0, claimedHeight = 0;
        if (pngClaim(source, claimedWidth, claimedHeight) &&
            !imageSizeAllowed(claimedWidth, claimedHeight, name, limits, error))
            return false;
        if (std::strcmp(stbi_failure_reason(), "too large") == 0 && claimedWidth > 0)
            error = name + ": the file claims " + std::to_string(claimedWidth) + " x " +
                    std::to_string(claimedHeight) + " pixels, more than the decoder can hold";
        else
            error = name + ": cannot decode image: " + stbi_failure_reason();
        return false;
    }
    const int64_t pixels = int64_t{w} * h;
    if (!imageSizeAllowed(w, h, name, limits, error)) return false;
    if (source.is16Bit()) {
        error = name + ": 16-bit images are not supported (8 bits per channel only)";
        return false;
    }
    decodeAllowance = decodeAllowanceFor(pixels);
    const int claimedWidth = w, claimedHeight = h;
    stbi_uc* data = source.load(&w, &h, &channels);
    decodeAllowance = 0;
    if (source.endedEarly()) {
        stbi_image_free(data);
        error = name + ": " + kEndsEarly;
        return false;
    }
    if (data && (w != claimedWidth || h != claimedHeight)) {
        stbi_image_free(data);
        error = name + ": cannot decode image: its header and its data disagree on the size";
        return false;
    }
    if (!data) {
        error = name + ": cannot decode image: " +
                (allowanceExceeded ? "its data expands beyond what " + std::to_string(w) + " x " +
                                         std::to_string(h) + " pixels need (a damaged file?)"
                                   : std::string(stbi_failure_reason()));
        return false;
    }
    image = Image(w, h, channels == 2 || channels == 4);
    std::memcpy(image.rgba.data(), data, image.rgba.size());
    stbi_image_free(data);
    return true;
}

} // namespace

bool readImage(const std::string& path, Image& image, std::string& error, const ImageLimits& limits) {
    // A missing file is named in the system's words, as every file refhost reads.
    std::string reason;
    if (platform::fileKind(path, reason) == platform::FileKind::Missing) {
        error = path + ": cannot open: " + reason;
        return false;
    }
    FILE* file = platform::openForReading(path, reason);
    if (!file) {
        error = path + ": cannot open: " + reason;
        return false;
    }
    uint8_t head[3] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::rewind(file);
    const bool decoded = looksLikeJpeg(head, got) ? readJpeg({.file = file}, path, limits, image, error)
                                                 : decode(FileSource{file}, path, image, error, limits);
    std::fclose(file);
    return decoded;
}

bool decodeImage(const uint8_t* bytes, std::size_t size, const std::string& name, Image& image,
                 std::string& error, const ImageLimits& limits) {
    if (looksLikeJpeg(bytes, size)) return readJpeg({.bytes = bytes, .size = size}, name, limits, image, error);
    return decode(MemorySource(bytes, size), name, image, error, limits);
}

namespace {

void appendBytes(void* context, void* data, int size) {
    auto& bytes = *static_cast<std::vector<uint8_t>*>(context);
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
}

} // namespace

bool writePng(const std::string& path, const Image& image, std::string& error) {
    if (image.width <= 0 || image.height <= 0) {
        error = path + ": cannot write an image of " + std::to_string(image.width) + " x " +
                std::to_string(image.height) + " pixels as PNG";
        return false;
    }
    // Encoded in memory, so that the writer sees and checks every byte.
    const int channels = image.hasAlpha ? 4 : 3;
    std::vector<uint8_t> packed;
    const uint8_t* pixels = image.rgba.data();
    if (!image.hasAlpha) {
        packed.reserve(static_cast<std::size_t>(image.width) * image.height * 3);
        for (std::size_t i = 0; i < image.rgba.size(); i += 4) packed.insert(packed.end(), &image.rgba[i], &image.rgba[i + 3]);
        pixels = packed.data();
    }
    std::vector<uint8_t> png;
    if (!stbi_write_png_to_func(appendBytes, &png, image.width, image.height, channels, pixels,
                                image.width * channels)) {
        error = path + ": cannot encode the image as PNG";
        return false;
    }
    return writeFileAtomically(path, "PNG image", png, error);
}

} // namespace refhost
