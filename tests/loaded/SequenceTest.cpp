// Animated scenes, textures and anti-aliasing through the built module: the
// module steps to each frame's time, the frames do not depend on threads or
// on what was rendered before them, textures reach the shader as stored, and
// Ctrl-C keeps the frames already written.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <thread>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/render/BuiltinScene.h"
#include "refhost/render/FrameRender.h"
#include "refhost/render/PixelSamples.h"
#include "refhost/render/SceneFile.h"
#include "tests/loaded/LoadedModule.h"

using namespace refhost;
using testing_support::loadModule;
using testing_support::modulePath;
using testing_support::refhostPath;
using testing_support::TempFolder;

namespace {

std::string example(const std::string& name) { return std::string(EXAMPLES_DIR) + "/" + name; }

Scene readExample(const std::string& name, int32_t width = 0, int32_t height = 0) {
    SceneOptions options;
    options.width = width;
    options.height = height;
    Scene scene;
    std::string error;
    EXPECT_TRUE(readSceneFile(example(name), options, scene, error)) << error;
    return scene;
}

Image readBack(const std::string& path) {
    Image image;
    std::string error;
    EXPECT_TRUE(readImage(path, image, error)) << error;
    return image;
}

RenderOptions sequence(const std::string& output, const std::string& frames, int32_t threads) {
    RenderOptions options;
    options.module = modulePath();
    options.scene = example("animated.json");
    options.width = 96;
    options.height = 54;
    options.samples = 2;
    options.threads = threads;
    options.frames = frames;
    options.output = output;
    return options;
}

struct Servers {
    std::unique_ptr<Module> module = loadModule();
    const ServerRow* shader = module ? module->find(host::kShaderHandlerClass, "VelorastinShader") : nullptr;
    const ServerRow* filter = module ? module->find(host::kImageFilterHandlerClass, "VelorastinFilter") : nullptr;
};

} // namespace

// Between one frame's newTime and the next, every time the module asks the
// host about is that frame's: its refresh reads the camera and the ambient
// light at the frame's time, and the filter's at the same.
TEST(Sequence, ModuleAsksForEveryFrameAtItsTime) {
    Servers servers;
    ASSERT_TRUE(servers.shader && servers.filter);
    const Scene scene = readExample("animated.json", 32, 18);
    Host host(scene.model);
    FrameRequest request;
    request.shader = servers.shader;
    request.filter = servers.filter;
    request.threads = 2;
    {
        FrameSession session(host, scene, request);
        ASSERT_EQ(session.error(), "");
        for (int32_t frame : {1, 2, 5}) {
            const FrameResult result = session.render(frame, scene.timeOf(frame));
            ASSERT_EQ(result.error, "");
        }
    }
    std::vector<std::string> steps;
    std::string time;
    int timedCalls = 0;
    for (const Call& call : host.log.calls()) {
        if (call.name == "shader.newTime") {
            steps.push_back(call.text());
            time = call.args.at(1);
        } else if (call.name == "filter.process") {
            steps.push_back(call.text());
            EXPECT_EQ(call.args.at(0), time);
        } else if (call.name == "item.param" || call.name == "camera.zoom") {
            EXPECT_EQ(call.args.at(2 - (call.name == "camera.zoom")), time) << call.text();
            ++timedCalls;
        } else if (call.name == "light.ambient") {
            EXPECT_EQ(call.args.at(0), time) << call.text();
        }
    }
    const std::string t1 = formatArg(1 / 24.0), t2 = formatArg(2 / 24.0), t5 = formatArg(5 / 24.0);
    EXPECT_EQ(steps, (std::vector<std::string>{
                         "shader.newTime(1, " + t1 + ")", "shader.newTime(1, " + t1 + ")", "filter.process(" + t1 + ")",
                         "shader.newTime(2, " + t2 + ")", "shader.newTime(2, " + t2 + ")", "filter.process(" + t2 + ")",
                         "shader.newTime(5, " + t5 + ")", "shader.newTime(5, " + t5 + ")", "filter.process(" + t5 + ")"}));
    // Three refreshes a frame, each with five camera parameters and the zoom.
    EXPECT_EQ(timedCalls, 3 * 3 * 6);
}

// A camera or light that moves changes the frame, and the camera the module
// reads at each frame's time is the one drawn.
TEST(Sequence, MovingCameraOrLightChangesTheFramesAndTheModulesView) {
    Servers servers;
    ASSERT_TRUE(servers.shader && servers.filter);
    const std::string lightOnly = R"({"frame": {"width": 48, "height": 27},
        "camera": {"position": [0, 3, -8], "target": [0, 0.5, 0]},
        "lights": [{"type": "distant", "direction": [{"frame": 0, "value": [-1, -1, 0]}, {"frame": 10, "value": [1, -1, 0]}]}],
        "objects": [{"type": "plane"}, {"type": "sphere", "position": [0, 1, 0]}]})";
    Scene lit;
    std::string error;
    ASSERT_TRUE(parseScene(lightOnly, "light.json", "", {}, lit, error)) << error;
    const Scene moving = readExample("animated.json", 48, 27);
    for (const Scene* scene : std::vector<const Scene*>{&lit, &moving}) {
        Host host(scene->model);
        FrameRequest request;
        request.shader = servers.shader;
        request.filter = servers.filter;
        FrameSession session(host, *scene, request);
        const Image first = session.render(1, scene->timeOf(1)).image;
        host.log.clear();
        const Image later = session.render(9, scene->timeOf(9)).image;
        EXPECT_NE(first.rgba, later.rgba) << scene->source;
        EXPECT_EQ(later.rgba, renderFrame(host, *scene, {servers.shader, servers.filter, 1, 1, false, 9, scene->timeOf(9)}).image.rgba);
        // The camera position the module asked for at frame 9 is the host's answer for that time.
        const SceneItem& camera = *scene->model.itemsOfKind(host::kItemCamera).front();
        bool asked = false;
        for (const Call& call : host.log.named("item.param"))
            asked = asked || (call.args == std::vector<std::string>{formatArg(camera.id), "8", formatArg(scene->timeOf(9))});
        EXPECT_TRUE(asked);
    }
    const SceneItem& camera = *moving.model.itemsOfKind(host::kItemCamera).front();
    EXPECT_NE(camera.param(host::kParamWorldPosition, moving.timeOf(1)).x,
              camera.param(host::kParamWorldPosition, moving.timeOf(9)).x);
}

TEST(Sequence, FramesAreTheSameForOneOrTwoThreadsAndWhenRenderedAlone) {
    TempFolder one, two, alone;
    ASSERT_EQ(runRender(sequence(one.file("a.png"), "1-3", 1)), 0);
    ASSERT_EQ(runRender(sequence(two.file("f%03d.png"), "1-3", 2)), 0);
    RenderOptions single = sequence(alone.file("still.png"), "", 2);
    single.frame = 3;
    ASSERT_EQ(runRender(single), 0);
    for (int32_t frame = 1; frame <= 3; ++frame) {
        const Image a = readBack(one.file("a_000" + std::to_string(frame) + ".png"));
        const Image b = readBack(two.file("f00" + std::to_string(frame) + ".png"));
        ASSERT_EQ(a.width, 96);
        EXPECT_EQ(a.rgba, b.rgba) << "frame " << frame;
    }
    EXPECT_EQ(readBack(alone.file("still.png")).rgba, readBack(one.file("a_0003.png")).rgba);
    EXPECT_NE(readBack(one.file("a_0001.png")).rgba, readBack(one.file("a_0003.png")).rgba);
}

TEST(Sequence, ContactSheetHoldsEveryFrame) {
    TempFolder folder;
    RenderOptions options = sequence(folder.file("a.png"), "1-5", 2);
    options.contactSheet = folder.file("sheet.png");
    ASSERT_EQ(runRender(options), 0);
    const Image sheet = readBack(options.contactSheet);
    // Three columns, two rows, 2-pixel gaps.
    EXPECT_EQ(sheet.width, 3 * 96 + 4 * 2);
    EXPECT_EQ(sheet.height, 2 * 54 + 3 * 2);
    // Below its label, the second frame sits in the first row's second place.
    const Image second = readBack(folder.file("a_0002.png"));
    for (int32_t y = 30; y < 54; ++y)
        for (int32_t x = 0; x < 96; ++x)
            ASSERT_EQ(sheet.pixel(2 + 96 + 2 + x, 2 + y)[1], second.pixel(x, y)[1]) << x << ", " << y;
}

TEST(Sequence, RefusedOptionsAndScenesWriteNothing) {
    TempFolder folder;
    RenderOptions options = sequence(folder.file("a.png"), "1-3", 1);
    options.contactSheet = folder.file("sheet.png");
    options.frames = "";
    EXPECT_EQ(runRender(options), kExitUsage);  // a sheet needs a sequence
    options = sequence(folder.file("a%s.png"), "1-3", 1);
    EXPECT_EQ(runRender(options), kExitUsage);
    testing_support::writeFile(folder.file("bad.json"), R"({"objects": [{"type": "mesh", "file": "gone.obj"}]})");
    options = sequence(folder.file("a.png"), "1-3", 1);
    options.scene = folder.file("bad.json");
    const auto result = testing_support::runRefhost(
        {"render", "--module", modulePath(), "--scene", options.scene, "--frames", "1-3", folder.file("a.png")});
    EXPECT_EQ(result.exitCode, kExitFailed);
    // The resolved path is named with the system's separators.
    std::string resolved = folder.file("gone.obj");
    if (testing_support::kWindows) std::replace(resolved.begin(), resolved.end(), '/', '\\');
    EXPECT_EQ(result.err, "refhost render: " + options.scene + ": scene.objects[0].file: cannot read \"gone.obj\" (resolved: " +
                              resolved + "): cannot open: " + testing_support::missingFileReason() + "\n");
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"bad.json"});
}

// A texel reaches the shader as stored, and "VelorastinShader" raises it to
// 2.2 as it does a picked colour.
TEST(Textures, TexelsAreHandedToTheShaderAsStoredAndLinearised) {
    Servers servers;
    ASSERT_TRUE(servers.shader);
    const Scene scene = readExample("textured.json", 160, 90);
    Host host(scene.model);
    ShaderDriver driver(*servers.shader);
    ASSERT_EQ(driver.activate(2), 0);
    const host::Instance instance = driver.create();
    ASSERT_TRUE(instance);
    ASSERT_EQ(driver.newTime(instance, 0, 0.0), nullptr);
    const Renderer renderer(scene, 0.0);
    int textured = 0;
    for (int32_t y = 0; y < 90; y += 3) {
        for (int32_t x = 0; x < 160; x += 3) {
            const Hit hit = renderer.traceCamera(x, y);
            if (!hit.object || !hit.object->surface.texture) continue;
            host::SampleAccess record;
            renderer.fillSample(hit, record);
            const Vec texel = hit.object->surface.texture->lookup(hit.u, hit.v);
            ASSERT_EQ(record.colour[0], texel.x);
            ASSERT_EQ(record.colour[2], texel.z);
            driver.evaluate(instance, record);
            ASSERT_EQ(record.colour[0], std::pow(texel.x, 2.2));
            ASSERT_EQ(record.colour[1], std::pow(texel.y, 2.2));
            ++textured;
        }
    }
    driver.destroy(instance);
    EXPECT_GT(textured, 300);
}

// Each pixel is the mean of its samples' light, quantised once.
TEST(AntiAliasing, PixelsAverageTheirSamplesInLinearLight) {
    const Scene scene = builtinScene(64, 36);
    const Renderer renderer(scene, 0.0);
    Image image;
    ImageSettings settings;
    settings.samples = 4;
    const ImageStats stats = renderer.renderImage({}, settings, image);
    EXPECT_GT(stats.samples, 64 * 36 * 2);
    int edges = 0;
    for (int32_t y = 0; y < 36; ++y) {
        for (int32_t x = 0; x < 64; ++x) {
            Vec sum;
            int64_t count = 0;
            std::set<const SceneObject*> met;
            for (int32_t k = 0; k < 4; ++k) {
                const PixelOffset at = pixelSample(x, y, k, 4);
                const Hit hit = renderer.traceCamera(x, y, at.x, at.y);
                met.insert(hit.object);
                sum += renderer.radiance(hit, nullptr, nullptr, count);
            }
            const Vec mean = sum * 0.25;
            ASSERT_EQ(image.pixel(x, y)[0], toByte(mean.x)) << x << ", " << y;
            ASSERT_EQ(image.pixel(x, y)[2], toByte(mean.z)) << x << ", " << y;
            edges += met.size() > 1;
        }
    }
    EXPECT_GT(edges, 20);  // pixels on an edge, where the samples disagree
}

// Ctrl-C during a sequence: the frame being drawn is not written, those
// before it stay whole, and nothing temporary is left.
TEST(Sequence, InterruptKeepsTheFramesWrittenAndWritesNoPartOfTheNext) {
    TempFolder folder;
    testing_support::RunningProgram render(
        refhostPath(), {"render", "--module", modulePath(), "--scene", example("animated.json"), "--frames", "1-200",
                        "--width", "640", "--height", "360", "--samples", "4", "--threads", "1", folder.file("a.png")});
    ASSERT_TRUE(render.started()) << render.problem();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!std::filesystem::exists(folder.file("a_0001.png")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(render.interrupt());
    const std::optional<testing_support::ProgramEnd> end = render.waitForExit(60);
    if (!end) FAIL() << "the render did not stop on Ctrl-C";
    ASSERT_TRUE(end->exited) << "ended by signal " << end->status;
    EXPECT_EQ(end->status, kExitInterrupted);
    const std::vector<std::string> files = folder.entries();
    ASSERT_FALSE(files.empty());
    EXPECT_LT(files.size(), 200u);
    for (std::size_t i = 0; i < files.size(); ++i) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "a_%04zu.png", i + 1);
        EXPECT_EQ(files[i], expected);
        EXPECT_EQ(readBack(folder.file(files[i])).width, 640) << files[i];
    }
}
