// refhost's image reader with arbitrary file contents, in every format it
// accepts (the decoder tells them apart by their bytes): it refuses or decodes,
// and what it decodes is exactly as large as the header said.
#include <cstdlib>

#include "refhost/image/Image.h"
#include "tests/fuzz/FuzzInput.h"

namespace {
// Small, so that an image that claims much more is refused quickly; any single
// allocation beyond what the reader allows for this is a finding (see
// fuzz_image.flags).
constexpr int64_t kFuzzMaxPixels = int64_t{1} << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    refhost::Image image;
    std::string error;
    const bool decoded = refhost::decodeImage(data, size, "input", image, error, {.maxPixels = kFuzzMaxPixels});
    if (decoded) {
        if (!error.empty()) fuzzing::fail("decoded with a message");
        if (image.width <= 0 || image.height <= 0 || int64_t{image.width} * image.height > kFuzzMaxPixels)
            fuzzing::fail("decoded an image outside the limits");
        if (image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4)
            fuzzing::fail("pixel buffer of the wrong size");
    } else if (error.rfind("input: ", 0) != 0) {
        fuzzing::fail("a refusal that does not name the file");
    }
    return 0;
}
