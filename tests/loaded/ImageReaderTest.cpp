// refhost's image reader: files are refused by the size their header claims,
// before anything is decoded; a damaged stream cannot make the decoder take
// more memory than the image it claims needs; JPEG files are read by their
// own library, damaged ones refused.
#include <stb/stb_image_write.h>

#include <cstring>
#include <string>
#include <vector>

#include "refhost/image/Image.h"
#include "tests/loaded/LoadedModule.h"

using namespace testing_support;

namespace {

// A TGA header claiming `width` x `height` 24-bit pixels, followed by a few
// bytes of pixel data (far shorter than the image it claims), or by all of it.
std::string tgaClaiming(int width, int height, bool whole = false) {
    std::string bytes(whole ? 18 + std::size_t{3} * width * height : 124, '\0');
    bytes[2] = 2;  // uncompressed true colour
    bytes[12] = static_cast<char>(width & 0xFF);
    bytes[13] = static_cast<char>(width >> 8);
    bytes[14] = static_cast<char>(height & 0xFF);
    bytes[15] = static_cast<char>(height >> 8);
    bytes[16] = 24;
    return bytes;
}

// A PNG of `width` x `height` black pixels whose header is then changed to
// claim 1 x 1: its compressed stream expands far beyond one pixel.
std::string pngExpandingBeyondItsHeader(const std::string& path, int width, int height) {
    std::vector<uint8_t> black(static_cast<std::size_t>(width) * height * 3, 0);
    EXPECT_NE(stbi_write_png(path.c_str(), width, height, 3, black.data(), width * 3), 0);
    std::string bytes = readFile(path);
    const char one[4] = {0, 0, 0, 1};
    bytes.replace(16, 4, one, 4);  // IHDR width
    bytes.replace(20, 4, one, 4);  // IHDR height
    return bytes;
}

// A small JPEG of `channels` (1 grey, 3 RGB) in one flat colour.
std::string jpegOf(const std::string& path, int channels, int width, int height, uint8_t value) {
    std::vector<uint8_t> pixels(static_cast<std::size_t>(width) * height * channels, value);
    EXPECT_NE(stbi_write_jpg(path.c_str(), width, height, channels, pixels.data(), 90), 0);
    return readFile(path);
}

// The same file with its frame header changed to claim another size.
std::string withFrameSize(std::string jpeg, int width, int height) {
    const std::size_t sof = jpeg.find("\xFF\xC0");
    EXPECT_NE(sof, std::string::npos);
    jpeg[sof + 5] = static_cast<char>(height >> 8);
    jpeg[sof + 6] = static_cast<char>(height & 0xFF);
    jpeg[sof + 7] = static_cast<char>(width >> 8);
    jpeg[sof + 8] = static_cast<char>(width & 0xFF);
    return jpeg;
}

refhost::Image decoded(const std::string& bytes, std::string& error, refhost::ImageLimits limits = {}) {
    refhost::Image image;
    error.clear();
    refhost::decodeImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "in.tga", image, error,
                         limits);
    return image;
}

} // namespace

TEST(ImageLimits, HeaderClaimsAreRefusedBeforeDecoding) {
    std::string error;
    decoded(tgaClaiming(50431, 9216), error);
    EXPECT_EQ(error, "in.tga: the file claims 50431 x 9216 pixels (464.8 Mpixel); refhost reads at most "
                     "67.1 Mpixel (--max-pixels)");

    // The limit is the caller's; one pixel more than it allows is refused.
    decoded(tgaClaiming(10, 10), error, {.maxPixels = 99});
    EXPECT_EQ(error, "in.tga: the file claims 10 x 10 pixels (100 pixels); refhost reads at most 99 pixels "
                     "(--max-pixels)");
    // At the limit the file is decoded.
    EXPECT_EQ(decoded(tgaClaiming(10, 10, true), error, {.maxPixels = 100}).width, 10) << error;

    decoded(tgaClaiming(65535, 1), error);
    EXPECT_EQ(error.find("claims"), std::string::npos) << error;
    // TGA sides are 16-bit, so the side limit is seen through the pixel count
    // there; a PNG header can claim more.
    std::string png = pngExpandingBeyondItsHeader(TempFolder().file("p.png"), 1, 1);
    const char wide[4] = {0, 1, 0, 0};  // 65536
    png.replace(16, 4, wide, 4);
    decoded(png, error, {.maxPixels = int64_t{1} << 40});
    EXPECT_EQ(error, "in.tga: the file claims 65536 x 1 pixels; refhost reads images of at most 65535 pixels "
                     "on a side");
    // Claims the PNG decoder will not even look at get the same message.
    for (const int side : {20000, 65535}) {
        const char big[4] = {0, 0, static_cast<char>(side >> 8), static_cast<char>(side & 0xFF)};
        png.replace(16, 4, big, 4);
        png.replace(20, 4, big, 4);
        decoded(png, error);
        const std::string claim = std::to_string(side) + " x " + std::to_string(side);
        EXPECT_EQ(error.rfind("in.tga: the file claims " + claim + " pixels (", 0), 0u) << error;
    }
}

// Every format refuses a file cut short rather than reading its missing
// bytes as black or grey pixels; the whole file decodes.
TEST(ImageLimits, FilesCutShortAreRefused) {
    TempFolder folder;
    const std::string path = folder.file("noise");
    std::vector<uint8_t> noise(37 * 23 * 3);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    struct Format {
        const char* name;
        int (*write)(const std::string&, const std::vector<uint8_t>&);
    };
    const Format formats[] = {
        {"PNG", [](const std::string& p, const std::vector<uint8_t>& n) { return stbi_write_png(p.c_str(), 37, 23, 3, n.data(), 111); }},
        {"BMP", [](const std::string& p, const std::vector<uint8_t>& n) { return stbi_write_bmp(p.c_str(), 37, 23, 3, n.data()); }},
        {"TGA", [](const std::string& p, const std::vector<uint8_t>& n) {
             stbi_write_tga_with_rle = 0;
             return stbi_write_tga(p.c_str(), 37, 23, 3, n.data());
         }},
        {"TGA (RLE)", [](const std::string& p, const std::vector<uint8_t>& n) {
             stbi_write_tga_with_rle = 1;
             return stbi_write_tga(p.c_str(), 37, 23, 3, n.data());
         }},
        {"JPEG", [](const std::string& p, const std::vector<uint8_t>& n) { return stbi_write_jpg(p.c_str(), 37, 23, 3, n.data(), 90); }},
    };
    for (const Format& format : formats) {
        // The Windows build reads no JPEG files (a test of its own says so).
        if (kWindows && std::string(format.name) == "JPEG") continue;
        SCOPED_TRACE(format.name);
        ASSERT_NE(format.write(path, noise), 0);
        const std::string whole = readFile(path);
        std::string error;
        EXPECT_EQ(decoded(whole, error).width, 37) << error;
        // Cut in the pixels, and by the last pixel byte (a BMP's last byte is row padding).
        for (const std::size_t cut : {whole.size() / 2, whole.size() - 2}) {
            SCOPED_TRACE(cut);
            EXPECT_EQ(decoded(whole.substr(0, cut), error).width, 0);
            EXPECT_EQ(error, "in.tga: the file ends early");
        }
    }
}

TEST(ImageLimits, AStreamExpandingPastItsImageIsRefused) {
    TempFolder folder;
    std::string error;
    const refhost::Image image = decoded(pngExpandingBeyondItsHeader(folder.file("bomb.png"), 2048, 2048), error);
    EXPECT_EQ(image.width, 0);
    EXPECT_EQ(error, "in.tga: cannot decode image: its data expands beyond what 1 x 1 pixels need (a damaged "
                     "file?)");
    // The same stream under its true size decodes.
    refhost::Image whole;
    ASSERT_TRUE(refhost::readImage(folder.file("bomb.png"), whole, error)) << error;
    EXPECT_EQ(whole.width, 2048);
}

TEST(ImageLimits, FilterRefusesOversizedFilesAndWritesNothing) {
    TempFolder folder;
    const std::string in = folder.file("in.tga"), out = folder.file("out.png");
    writeFile(in, tgaClaiming(50431, 9216));
    CommandResult r = runRefhost({"filter", in, out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(in + ": the file claims 50431 x 9216 pixels (464.8 Mpixel)"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out));

    writeFile(in, tgaClaiming(300, 2));
    r = runRefhost({"filter", "--max-pixels", "599", in, out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("reads at most 599 pixels (--max-pixels)"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out));

    // A limit the 32-bit host could not hold is a usage error.
    r = runRefhost({"filter", "--max-pixels", "999999999999", in, out});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--max-pixels"), std::string::npos) << r.err;
}

TEST(JpegReader, ReadsGreyAndColourAndRefusesDamagedTables) {
    if (kWindows) GTEST_SKIP() << "refhost.exe reads no JPEG files (windows.refhost.jpeg: it says so)";
    TempFolder folder;
    std::string error;
    for (int channels : {1, 3}) {
        SCOPED_TRACE(channels);
        const refhost::Image image = decoded(jpegOf(folder.file("flat.jpg"), channels, 17, 9, 200), error);
        ASSERT_EQ(image.width, 17) << error;
        EXPECT_EQ(image.height, 9);
        EXPECT_FALSE(image.hasAlpha);
        // A flat colour survives the lossy coding within a step or two.
        for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
            ASSERT_NEAR(image.rgba[i], 200, 2);
            ASSERT_EQ(image.rgba[i + 1], image.rgba[i]);
            ASSERT_EQ(image.rgba[i + 2], image.rgba[i]);
            ASSERT_EQ(image.rgba[i + 3], 255);
        }
    }
    // The file path and the memory path agree.
    refhost::Image fromFile;
    ASSERT_TRUE(refhost::readImage(folder.file("flat.jpg"), fromFile, error)) << error;
    EXPECT_EQ(fromFile.rgba, decoded(readFile(folder.file("flat.jpg")), error).rgba);

    const std::string small = jpegOf(folder.file("small.jpg"), 3, 8, 8, 90);
    decoded(withFrameSize(small, 60000, 60000), error);
    EXPECT_EQ(error, "in.tga: the file claims 60000 x 60000 pixels (3600.0 Mpixel); refhost reads at most "
                     "67.1 Mpixel (--max-pixels)");
    EXPECT_EQ(decoded(withFrameSize(small, 8, 0), error).width, 0);
    EXPECT_EQ(error.rfind("in.tga: cannot decode image: ", 0), 0u) << error;

    // A Huffman table that defines more codes than a table can hold.
    std::string bad = small.substr(0, 2) + "\xFF\xC4" + std::string(1, '\x01') + std::string(1, '\x33') + '\x00';
    bad += std::string(16, '\x11') + std::string(272, '\x01');
    bad += small.substr(2);
    decoded(bad, error);
    EXPECT_EQ(error.rfind("in.tga: cannot decode image: ", 0), 0u) << error;
    // Cut short, even in its header: refused, not read past the end.
    for (const std::size_t cut : {std::size_t{40}, small.size() / 3}) {
        decoded(small.substr(0, cut), error);
        EXPECT_EQ(error, "in.tga: the file ends early");
    }
}
