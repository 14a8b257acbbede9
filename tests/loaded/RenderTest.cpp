// The render command and the renderer's frame, driving the built module's
// shader and filter servers as a host does.
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/render/BuiltinScene.h"
#include "refhost/render/FrameRender.h"
#include "refhost/render/Renderer.h"
#include "refhost/render/SceneFile.h"
#include "tests/loaded/LoadedModule.h"

using namespace refhost;
using testing_support::loadModule;
using testing_support::modulePath;
using testing_support::refhostPath;
using testing_support::TempFolder;

namespace {

RenderOptions smallRender(const std::string& output, int32_t width = 64, int32_t height = 36) {
    RenderOptions options;
    options.module = modulePath();
    options.width = width;
    options.height = height;
    options.threads = 1;
    options.output = output;
    return options;
}

Image readBack(const std::string& path) {
    Image image;
    std::string error;
    EXPECT_TRUE(readImage(path, image, error)) << error;
    return image;
}

// The filter's encoding of one byte, as the module defines it.
uint8_t displayEncode(uint8_t v) {
    return static_cast<uint8_t>(std::pow(v * 0.00392156862745098, 0.45454545454545453) * 255.0);
}

// A Host on the builtin scene with the module's two servers, for in-process frames.
struct Frame {
    Frame(int32_t width, int32_t height) : scene(builtinScene(width, height)), host(scene.model) {
        module = loadModule();
        if (!module) return;
        shader = module->find(host::kShaderHandlerClass, "VelorastinShader");
        filter = module->find(host::kImageFilterHandlerClass, "VelorastinFilter");
    }
    FrameResult render(bool servers, int32_t threads = 1, int32_t frame = 0, double time = 0.0) {
        FrameRequest request;
        request.shader = servers ? shader : nullptr;
        request.filter = servers ? filter : nullptr;
        request.threads = threads;
        request.frame = frame;
        request.time = time;
        FrameResult result = renderFrame(host, scene, request);
        EXPECT_EQ(result.error, "");
        EXPECT_FALSE(result.stopped);
        return result;
    }

    Scene scene;
    Host host;
    std::unique_ptr<Module> module;
    const ServerRow* shader = nullptr;
    const ServerRow* filter = nullptr;
};

} // namespace

TEST(RenderCommand, ImageIsTheSameWhateverTheThreadCount) {
    TempFolder folder;
    std::vector<Image> images;
    for (int32_t threads : {1, 2, 3}) {
        RenderOptions options = smallRender(folder.file("t" + std::to_string(threads) + ".png"));
        options.threads = threads;
        ASSERT_EQ(runRender(options), 0);
        images.push_back(readBack(options.output));
    }
    ASSERT_EQ(images[0].width, 64);
    ASSERT_EQ(images[0].height, 36);
    EXPECT_EQ(images[1].rgba, images[0].rgba);
    EXPECT_EQ(images[2].rgba, images[0].rgba);
    // Not a blank frame that would be equal anyway.
    EXPECT_NE(std::vector<uint8_t>(images[0].pixel(0, 0), images[0].pixel(0, 0) + 3),
              std::vector<uint8_t>(images[0].pixel(32, 18), images[0].pixel(32, 18) + 3));
}

// Without servers a swatch is lit with its encoded colour and written as is;
// through the servers it is lit with colour^2.2 and the frame is encoded.
TEST(RenderPipeline, SwatchIsLitWithTheColourTheShaderWroteBack) {
    Frame frame(160, 90);
    ASSERT_TRUE(frame.shader && frame.filter);
    const Renderer renderer(frame.scene, 0.0);
    const SceneObject* grey = frame.scene.find("grey 50%");
    ASSERT_TRUE(grey);
    double px = 0, py = 0;
    ASSERT_TRUE(renderer.project(grey->position(0.0), px, py));
    const Hit hit = renderer.traceCamera(static_cast<int32_t>(px), static_cast<int32_t>(py));
    ASSERT_EQ(hit.object, grey);

    const Image plain = frame.render(false).image;
    const Image served = frame.render(true).image;
    host::SampleAccess record;
    renderer.fillSample(hit, record);
    const Vec encoded = renderer.shade(hit, record);
    for (double& c : record.colour) c = std::pow(c, 2.2);
    const Vec linear = renderer.shade(hit, record);
    const uint8_t* p = plain.pixel(hit.pixelX, hit.pixelY);
    const uint8_t* s = served.pixel(hit.pixelX, hit.pixelY);
    const double expectPlain[3] = {encoded.x, encoded.y, encoded.z};
    const double expectLinear[3] = {linear.x, linear.y, linear.z};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(p[c], toByte(expectPlain[c])) << "channel " << c;
        EXPECT_EQ(s[c], displayEncode(toByte(expectLinear[c]))) << "channel " << c;
    }
    // The linear workflow lifts a mid-grey lit below full white: over the whole
    // sphere it comes out brighter than lighting the encoded value.
    ASSERT_LT(encoded.x, 1.0);
    EXPECT_GT(s[0], p[0]);
    int64_t plainSum = 0, servedSum = 0, pixels = 0;
    for (int32_t y = 0; y < plain.height; ++y)
        for (int32_t x = 0; x < plain.width; ++x)
            if (renderer.traceCamera(x, y).object == grey) {
                plainSum += plain.pixel(x, y)[1];
                servedSum += served.pixel(x, y)[1];
                ++pixels;
            }
    ASSERT_GT(pixels, 50);
    EXPECT_GT(servedSum, plainSum + pixels * 20);
}

// A camera looking straight down at a box pointing straight up: both lean
// their up toward another axis, and the frame is the one drawn with those ups
// given, the box standing on visible ground.
TEST(RenderPipeline, ViewsAlongTheUpDrawAsWithAnUpAcrossThem) {
    auto render = [](const std::string& camera, const std::string& box, Vec& boxTop, Image& image) {
        Scene scene;
        std::string error;
        ASSERT_TRUE(parseScene(R"({"frame": {"width": 48, "height": 32},
            "lights": [{"type": "distant", "direction": [1, -3, 2]}], "camera": )" + camera + R"(,
            "objects": [{"type": "plane", "surface": {"colour": [0.2, 0.7, 0.3]}},
                        {"type": "box", "position": [1, 1.5, 0], "size": [1, 2, 3], )" + box + "}]}",
                               "test.json", "", {}, scene, error))
            << error;
        const Renderer renderer(scene, 0.0);
        renderer.renderImage({}, {}, image);
        double x = 0, y = 0;
        ASSERT_TRUE(renderer.project({1, 3, 0}, x, y));
        boxTop = {x, y, 0};
    };
    Vec top, givenTop;
    Image leaned, given;
    render(R"({"position": [0, 10, 0], "target": [0, 0, 0]})", R"("direction": [0, 1, 0])", top, leaned);
    render(R"({"position": [0, 10, 0], "target": [0, 0, 0], "up": [0, 0, 1]})",
           R"("direction": [0, 1, 0], "up": [0, 0, -1])", givenTop, given);
    EXPECT_EQ(leaned.rgba, given.rgba);
    // Top view: +x to the right of the centre.
    EXPECT_GT(top.x, 24.0);
    EXPECT_NEAR(top.y, 16.0, 0.01);
    auto rgb = [&](int32_t x, int32_t y) {
        return std::vector<uint8_t>(leaned.pixel(x, y), leaned.pixel(x, y) + 3);
    };
    EXPECT_EQ(rgb(0, 0), rgb(47, 31));  // ground in the corners
    EXPECT_NE(rgb(0, 0), rgb(static_cast<int32_t>(top.x), static_cast<int32_t>(top.y)));
}

TEST(RenderPipeline, ModuleReadsTheRenderedCameraAtTheFrameTime) {
    Frame frame(64, 36);
    ASSERT_TRUE(frame.shader && frame.filter);
    const host::ItemId camera = frame.scene.model.itemsOfKind(host::kItemCamera).at(0)->id;
    frame.host.log.enabled = true;
    const FrameResult result = frame.render(true, 2, 7, 0.25);
    EXPECT_GT(result.samples, 0);

    const std::string id = formatArg(camera);
    const std::string time = formatArg(0.25);
    // newTime on each of the two shader instances, then the filter's process
    // entry: each refreshes the scene snapshot with the scene's camera.
    int zooms = 0;
    for (const Call& call : frame.host.log.named("camera.zoom")) {
        EXPECT_EQ(call.args, (std::vector<std::string>{id, time}));
        ++zooms;
    }
    EXPECT_EQ(zooms, 3);
    std::vector<std::string> cameraParams;
    for (const Call& call : frame.host.log.named("item.param"))
        if (call.args.at(0) == id && call.args.at(2) == time) cameraParams.push_back(call.args.at(1));
    EXPECT_EQ(cameraParams.size(), 15u);
    EXPECT_EQ(std::vector<std::string>(cameraParams.begin(), cameraParams.begin() + 5),
              (std::vector<std::string>{"1", "8", "4", "2", "3"}));
    // The scene record served is the one the renderer drew.
    EXPECT_EQ(frame.host.scene.record.frameWidth, result.image.width);
    EXPECT_EQ(frame.host.scene.record.frameHeight, result.image.height);
}

TEST(RenderCommand, CompareShowsThePlainAndTheServedRenderSideBySide) {
    TempFolder folder;
    RenderOptions options = smallRender(folder.file("compare.png"), 128, 72);
    options.compare = true;
    ASSERT_EQ(runRender(options), 0);
    const Image compare = readBack(options.output);
    ASSERT_EQ(compare.width, 256);
    ASSERT_EQ(compare.height, 72);

    Frame frame(128, 72);
    const Image plain = frame.render(false).image;
    const Image served = frame.render(true).image;
    // Below the labels the halves are the two renders.
    bool halvesMatch = true;
    for (int32_t y = 36; y < 72; ++y)
        for (int32_t x = 0; x < 128; ++x)
            for (int c = 0; c < 3; ++c)
                halvesMatch = halvesMatch && compare.pixel(x, y)[c] == plain.pixel(x, y)[c] &&
                               compare.pixel(128 + x, y)[c] == served.pixel(x, y)[c];
    EXPECT_TRUE(halvesMatch);
    // The labels: white text at the top left of each half.
    auto hasWhite = [&](int32_t x0) {
        for (int32_t y = 0; y < 24; ++y)
            for (int32_t x = x0; x < x0 + 64; ++x)
                if (compare.pixel(x, y)[0] == 255 && compare.pixel(x, y)[1] == 255) return true;
        return false;
    };
    EXPECT_TRUE(hasWhite(0));
    EXPECT_TRUE(hasWhite(128));
}

TEST(RenderCommand, BadArgumentsFailAndWriteNothing) {
    TempFolder folder;
    const std::string output = folder.file("out.png");
    auto expectRefused = [&](RenderOptions options, const char* what) {
        EXPECT_NE(runRender(options), 0) << what;
        EXPECT_TRUE(folder.entries().empty()) << what;
    };
    RenderOptions options = smallRender(output);
    options.shader = "NoSuchShader";
    expectRefused(options, "unknown shader name");
    options = smallRender(output);
    options.shader = "VelorastinFilter";  // an ImageFilterHandler row, not a shader
    expectRefused(options, "filter row as shader");
    options = smallRender(output);
    options.filter = "VelorastinShader";
    expectRefused(options, "shader row as filter");
    options = smallRender(output);
    options.module = folder.file("missing.p");
    expectRefused(options, "missing module");
    options = smallRender(output);
    options.width = 8193;
    expectRefused(options, "too wide");
    options = smallRender(output);
    options.samples = 0;
    expectRefused(options, "no samples");
    options = smallRender(output);
    options.scene = folder.file("missing.json");
    expectRefused(options, "missing scene file");
    options = smallRender(folder.file("no-such-folder/out.png"));
    expectRefused(options, "output folder missing");
    options = smallRender(output);
    options.module = testing_support::fixturePath("pops_arguments");
    options.shader = "TinyShader";
    options.filter = "TinyFilter";
    options.threads = 2;
    expectRefused(options, "an evaluate entry that pops its own arguments");
}

// Ctrl-C ends a long render with status 130 and leaves no file behind.
TEST(RenderCommand, InterruptStopsTheRenderAndWritesNothing) {
    TempFolder folder;
    testing_support::RunningProgram render(refhostPath(), {"render", "--module", modulePath(), "--width", "4096",
                                                           "--height", "4096", "--threads", "1", folder.file("big.png")});
    ASSERT_TRUE(render.started()) << render.problem();

    // Wait until the command catches Ctrl-C, so that the interrupt meets its handler.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool catching = false;
    while (!(catching = render.catchesInterrupt()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(render.interrupt());
    // A render that ignores the request would run for minutes: give it 20 s.
    const std::optional<testing_support::ProgramEnd> end = render.waitForExit(20);
    if (!end) FAIL() << "the render did not stop on Ctrl-C";
    EXPECT_TRUE(catching);
    ASSERT_TRUE(end->exited) << "ended by signal " << end->status;
    EXPECT_EQ(end->status, kExitInterrupted);
    EXPECT_TRUE(folder.entries().empty());
}

// A scene file's paths take '/' and '\' alike on every system, so that the
// file travels. refhost names a resolved path with the system's separators
// only, and a missing mesh and a missing texture for the same reason in the
// same words.
TEST(SceneFile, PathsTakeEitherSeparatorAndAreNamedWithTheSystemsOwn) {
    TempFolder folder;
    std::filesystem::create_directories(folder.file("assets"));
    testing_support::writeFile(folder.file("assets/tri.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    const std::string scenePath = folder.file("scene.json");
    auto read = [&](const std::string& object) {
        testing_support::writeFile(scenePath, R"({"objects": [)" + object + "]}");
        Scene scene;
        std::string error;
        const bool read = readSceneFile(scenePath, {}, scene, error);
        EXPECT_EQ(read, error.empty()) << error;
        return error;
    };
    EXPECT_EQ(read(R"({"type": "mesh", "file": "assets\\tri.obj"})"), "");

    const char separator = testing_support::kWindows ? '\\' : '/';
    const std::string missing[] = {read(R"({"type": "mesh", "file": "assets/deeper\\none.obj"})"),
                                   read(R"({"type": "sphere", "surface": {"texture": "assets/deeper\\none.png"}})")};
    std::string reasons[2];
    for (int i = 0; i < 2; ++i) {
        const std::string& error = missing[i];
        const std::size_t from = error.find("(resolved: "), to = error.find("): cannot open: ");
        ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << error;
        const std::string resolved = error.substr(from + 11, to - from - 11);
        EXPECT_EQ(resolved.find(separator == '/' ? '\\' : '/'), std::string::npos) << resolved;
        const std::string tail = std::string("assets") + separator + "deeper" + separator + "none.";
        EXPECT_NE(resolved.find(tail), std::string::npos) << resolved;
        reasons[i] = error.substr(to + 16);
    }
    EXPECT_NE(reasons[0], "");
    EXPECT_EQ(reasons[0], reasons[1]);
}
