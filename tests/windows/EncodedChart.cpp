// Compares a filtered image with its source: every colour byte display-encoded
// as the table says, alpha as it was, the size unchanged.
//   windows_encoded_chart SOURCE.png FILTERED.png
#include <cstdio>
#include <string>

#include "refhost/image/Image.h"
#include "tests/inproc/DisplayEncoding.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: windows_encoded_chart SOURCE.png FILTERED.png\n");
        return 2;
    }
    refhost::Image source, filtered;
    std::string error;
    if (!refhost::readImage(argv[1], source, error) || !refhost::readImage(argv[2], filtered, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (source.width != filtered.width || source.height != filtered.height) {
        std::fprintf(stderr, "%dx%d filtered to %dx%d\n", source.width, source.height, filtered.width, filtered.height);
        return 1;
    }
    int wrong = 0;
    for (std::size_t i = 0; i < source.rgba.size(); ++i) {
        const uint8_t in = source.rgba[i];
        const uint8_t want = i % 4 == 3 ? in : testing_support::kDisplayEncoded[in];
        if (filtered.rgba[i] != want && wrong++ < 10)
            std::fprintf(stderr, "pixel %zu channel %zu: %u encoded to %u, expected %u\n", i / 4, i % 4, in,
                         filtered.rgba[i], want);
    }
    if (wrong) {
        std::fprintf(stderr, "%d bytes differ\n", wrong);
        return 1;
    }
    std::printf("%zu bytes encoded as the table says\n", source.rgba.size());
    return 0;
}
