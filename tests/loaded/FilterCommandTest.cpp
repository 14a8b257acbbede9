// `refhost filter` end to end: image files in, image files out, and every way
// it can fail leaving nothing behind.
#include <stb/stb_image_write.h>

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "refhost/image/Image.h"
#include "tests/loaded/LoadedModule.h"

using namespace testing_support;

namespace {

int encode(int v) { return static_cast<int>(std::pow(v * 0.00392156862745098, 0.45454545454545453) * 255.0); }

// A PNG with `channels` channels (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA) in which
// every channel takes every value 0..255 along each row.
std::vector<uint8_t> writeInput(const std::string& path, int channels, int width = 256, int height = 3) {
    std::vector<uint8_t> samples(static_cast<std::size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                samples[(static_cast<std::size_t>(y) * width + x) * channels + c] =
                    static_cast<uint8_t>(x + 85 * c + 31 * y);
    EXPECT_NE(stbi_write_png(path.c_str(), width, height, channels, samples.data(), width * channels), 0);
    return samples;
}

// The colour type byte of a PNG file's header: 2 RGB, 6 RGBA.
int pngColourType(const std::string& path) {
    const std::string bytes = readFile(path);
    return bytes.size() > 25 ? static_cast<uint8_t>(bytes[25]) : -1;
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

} // namespace

TEST(FilterCommand, EncodesEveryColourByteOfEachImageKind) {
    TempFolder folder;
    for (int channels = 1; channels <= 4; ++channels) {
        SCOPED_TRACE(channels);
        const std::string in = folder.file("in" + std::to_string(channels) + ".png");
        const std::string out = folder.file("out" + std::to_string(channels) + ".png");
        const std::vector<uint8_t> samples = writeInput(in, channels);
        std::vector<std::string> args{"filter", in, out};
        if (channels == 4) args.insert(args.begin() + 1, {"--server", "VelorastinFilter", "--module", modulePath()});
        const CommandResult r = runRefhost(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;

        const bool alpha = channels == 2 || channels == 4;
        EXPECT_EQ(pngColourType(out), alpha ? 6 : 2);
        refhost::Image image;
        std::string error;
        ASSERT_TRUE(refhost::readImage(out, image, error)) << error;
        ASSERT_EQ(image.width, 256);
        ASSERT_EQ(image.height, 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 256; ++x) {
                const uint8_t* s = &samples[(static_cast<std::size_t>(y) * 256 + x) * channels];
                const int red = s[0], green = channels >= 3 ? s[1] : s[0], blue = channels >= 3 ? s[2] : s[0];
                const int a = alpha ? s[channels - 1] : 255;
                const uint8_t* p = image.pixel(x, y);
                ASSERT_EQ(p[0], encode(red)) << x << "," << y;
                ASSERT_EQ(p[1], encode(green)) << x << "," << y;
                ASSERT_EQ(p[2], encode(blue)) << x << "," << y;
                ASSERT_EQ(p[3], a) << x << "," << y;
            }
        EXPECT_EQ(image.pixel(1, 0)[0], 20);  // truncated, where rounding gives 21
    }
}

TEST(FilterCommand, EachFailureSaysWhyAndWritesNothing) {
    TempFolder folder;
    const std::string image = folder.file("in.png");
    writeInput(image, 4);
    const std::string notes = folder.file("notes.png");
    writeFile(notes, "these are not pixels\n");
    struct Case {
        std::vector<std::string> args;  // before INPUT OUTPUT
        std::string input;
        std::string output;
        std::string message;
    };
    const std::string out = folder.file("out.png");
    const std::vector<Case> cases = {
        {{}, folder.file("absent.png"), out, "cannot open"},
        {{}, notes, out, "cannot decode"},
        {{}, image, folder.file("no/such/folder/out.png"), "cannot write into"},
        {{"--server", "NoSuch"}, image, out, "no image filter server named \"NoSuch\""},
        {{"--module", fixturePath("evaluate_outside")}, image, out, "no image filter server"},
        {{"--module", fixturePath("bad_sync")}, image, out, "wrong synchronisation word"},
        {{"--module", fixturePath("pops_arguments")}, image, out,
         "process returned with the stack pointer moved by 8 bytes"},
        {{"--module", folder.file("absent.p")}, image, out, "absent.p: cannot open"},
    };
    for (bool outputExists : {false, true}) {
        for (const Case& c : cases) {
            if (outputExists && c.output != out) continue;
            SCOPED_TRACE(c.message + (outputExists ? " (output exists)" : ""));
            if (outputExists) writeFile(out, "keep");
            std::vector<std::string> args{"filter"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.insert(args.end(), {c.input, c.output});
            const CommandResult r = runRefhost(args);
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.err.rfind("refhost filter: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            if (outputExists)
                EXPECT_EQ(readFile(out), "keep");
            else
                EXPECT_FALSE(exists(c.output));
        }
    }
    // Nothing else was left in the folder (no temporary files either).
    EXPECT_EQ(folder.entries().size(), 3u);
}

// Runs refhost with its standard error on a terminal, so that it draws its
// progress bar; sends Ctrl-C once the bar shows the filter has begun.
TEST(FilterCommand, InterruptStopsTheFilterAndWritesNothing) {
    TempFolder folder;
    // Uncompressed, so that the picture is quick to write and read and the time goes into filtering.
    const std::string in = folder.file("large.bmp"), out = folder.file("out.png");
    std::vector<uint8_t> samples(1600 * 1600 * 3);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 7);
    ASSERT_NE(stbi_write_bmp(in.c_str(), 1600, 1600, 3, samples.data()), 0);

    RunningProgram filter(refhostPath(), {"filter", in, out}, RunningProgram::StandardError::Terminal);
    if (filter.noTerminalHere()) GTEST_SKIP() << filter.problem();
    ASSERT_TRUE(filter.started()) << filter.problem();

    std::string shown;
    bool interrupted = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline && filter.readTerminal(shown, 100))
        if (!interrupted && shown.find("filter VelorastinFilter [") != std::string::npos) interrupted = filter.interrupt();
    ASSERT_TRUE(interrupted) << "the progress bar never appeared:\n" << shown;
    const std::optional<ProgramEnd> end = filter.waitForExit(10);
    ASSERT_TRUE(end) << "the filter did not end:\n" << shown;
    ASSERT_TRUE(end->exited) << "ended by signal " << end->status;
    EXPECT_EQ(end->status, 130) << shown;
    // On a line of its own, not after the progress bar.
    EXPECT_NE(shown.find("\nrefhost filter: the filter was stopped"), std::string::npos) << shown;
    EXPECT_FALSE(exists(out));
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"large.bmp"});
}
