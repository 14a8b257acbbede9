// Writes the seed inputs of fuzz_image into a folder: small PNG, JPEG, BMP and
// TGA files in each channel layout refhost reads.
#include <stb/stb_image_write.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seeds_fuzz_image FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int w = 5, h = 3;
    for (int channels = 1; channels <= 4; ++channels) {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * channels);
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 37);
        const std::string stem = folder + "/seed" + std::to_string(channels);
        bool ok = stbi_write_png((stem + ".png").c_str(), w, h, channels, pixels.data(), w * channels) &&
                  stbi_write_bmp((stem + ".bmp").c_str(), w, h, channels, pixels.data()) &&
                  stbi_write_tga((stem + ".tga").c_str(), w, h, channels, pixels.data()) &&
                  stbi_write_jpg((stem + ".jpg").c_str(), w, h, channels, pixels.data(), 80);
        if (!ok) {
            std::fprintf(stderr, "seeds_fuzz_image: cannot write into %s\n", folder.c_str());
            return 1;
        }
    }
    return 0;
}
