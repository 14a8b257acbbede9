#include "refhost/image/JpegReader.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <jerror.h>

namespace refhost {

namespace {

// A progressive file may repeat scans without end; real files have a few dozen.
constexpr int kMaxScans = 500;

// libjpeg reports a fatal error by calling error_exit, which must not return:
// it jumps back to decodePixels, which then releases what it holds.
struct ErrorHandler {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool tooManyScans;
    bool endedEarly;
};

[[noreturn]] void onError(j_common_ptr info) {
    auto* handler = reinterpret_cast<ErrorHandler*>(info->err);
    (*info->err->format_message)(info, handler->message);
    std::longjmp(handler->jump, 1);
}

// Warnings (corrupt data that the library can read past) are not errors,
// except one: the library reads a file that ends early as if its image ended
// there, and fills the rest in grey.
void onMessage(j_common_ptr info, int level) {
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) reinterpret_cast<ErrorHandler*>(info->err)->endedEarly = true;
}

void onProgress(j_common_ptr info) {
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->input_scan_number > kMaxScans) {
        auto* handler = reinterpret_cast<ErrorHandler*>(info->err);
        handler->tooManyScans = true;
        std::longjmp(handler->jump, 1);
    }
}

enum class Outcome { Decoded, Failed, Refused };

// The part that may be left by a jump from inside the library: it holds only
// plain data, and what it allocates is freed on both ways out. `pixels`
// receives a malloc'd RGB or grey buffer on success.
Outcome decodePixels(const JpegInput& input, const std::string& name, const ImageLimits& limits,
                     ErrorHandler& handler, jpeg_decompress_struct& info, unsigned char*& pixels,
                     int& channels, std::string& error) {
    pixels = nullptr;
    info.err = jpeg_std_error(&handler.base);
    handler.base.error_exit = onError;
    handler.base.emit_message = onMessage;
    handler.tooManyScans = false;
    handler.endedEarly = false;
    jpeg_progress_mgr progress{};
    progress.progress_monitor = onProgress;
    // volatile: its value after a jump must be the one stored last.
    unsigned char* volatile buffer = nullptr;
    if (setjmp(handler.jump)) {
        jpeg_destroy_decompress(&info);
        std::free(buffer);
        return Outcome::Failed;
    }
    jpeg_create_decompress(&info);
    info.progress = &progress;
    if (input.file)
        jpeg_stdio_src(&info, input.file);
    else
        jpeg_mem_src(&info, input.bytes, static_cast<unsigned long>(input.size));
    jpeg_read_header(&info, TRUE);
    if (!imageSizeAllowed(info.image_width, info.image_height, name, limits, error)) {
        jpeg_destroy_decompress(&info);
        return Outcome::Refused;
    }
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        error = name + ": CMYK JPEG images are not supported (grey and RGB only)";
        jpeg_destroy_decompress(&info);
        return Outcome::Refused;
    }
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    // Without a backing store the library refuses what needs more than this.
    info.mem->max_memory_to_use =
        static_cast<long>(decodeAllowanceFor(int64_t{info.image_width} * info.image_height));
    jpeg_start_decompress(&info);
    channels = info.output_components;
    const std::size_t stride = static_cast<std::size_t>(info.output_width) * channels;
    buffer = static_cast<unsigned char*>(std::malloc(stride * info.output_height));
    if (!buffer) {
        error = name + ": cannot decode image: out of memory";
        jpeg_destroy_decompress(&info);
        return Outcome::Refused;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = buffer + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (handler.endedEarly) {
        std::free(buffer);
        return Outcome::Failed;
    }
    pixels = buffer;
    return Outcome::Decoded;
}

} // namespace

bool looksLikeJpeg(const uint8_t* head, std::size_t size) {
    return size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

bool readJpeg(const JpegInput& input, const std::string& name, const ImageLimits& limits, Image& image,
              std::string& error) {
    ErrorHandler handler{};
    jpeg_decompress_struct info{};
    unsigned char* pixels = nullptr;
    int channels = 0;
    switch (decodePixels(input, name, limits, handler, info, pixels, channels, error)) {
    case Outcome::Refused:
        return false;
    case Outcome::Failed:
        // What goes wrong after the end of the file comes of its ending early.
        if (handler.endedEarly) {
            error = name + ": " + kEndsEarly;
            return false;
        }
        error = name + ": cannot decode image: " +
                (handler.tooManyScans ? "more than " + std::to_string(kMaxScans) + " scans (a damaged file?)"
                                      : std::string(handler.message));
        return false;
    case Outcome::Decoded:
        break;
    }
    image = Image(static_cast<int32_t>(info.output_width), static_cast<int32_t>(info.output_height), false);
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = pixels + i * channels;
        uint8_t* out = &image.rgba[i * 4];
        out[0] = p[0];
        out[1] = channels == 3 ? p[1] : p[0];
        out[2] = channels == 3 ? p[2] : p[0];
        out[3] = 255;
    }
    std::free(pixels);
    return true;
}

} // namespace refhost
