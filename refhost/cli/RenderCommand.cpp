#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/cli/Validators.h"
#include "refhost/host/Module.h"
#include "refhost/host/ModuleFault.h"
#include "refhost/image/Label.h"
#include "refhost/image/Progress.h"
#include "refhost/platform/Platform.h"
#include "refhost/render/BuiltinScene.h"
#include "refhost/render/ContactSheet.h"
#include "refhost/render/FrameNames.h"
#include "refhost/render/FrameRender.h"
#include "refhost/render/SceneFile.h"

namespace refhost {

namespace {

constexpr int32_t kMaxThreads = 256;
constexpr int32_t kMaxSamples = 256;
const std::string kNone = "none";

int fail(const std::string& message) { return workFailed("render", message); }
int usage(const std::string& message) { return usageError("render", message); }

// The row of a server class and name; on failure a message that says whether
// the name belongs to a server of another class.
const ServerRow* findServer(const Module& module, const char* className, const std::string& name,
                            const char* option, std::string& error) {
    if (const ServerRow* row = module.find(className, name)) return row;
    error = module.path() + ": no " + className + " server named \"" + name + "\"" + serverClassNote(module, name);
    if (!module.find(className, ""))
        error += "; it has no " + std::string(className) + " server at all: give " + option + " none to render without one";
    else
        error += "; 'refhost list " + module.path() + "' shows the servers it has";
    return nullptr;
}

std::string serversLabel(const ServerRow* shader, const ServerRow* filter) {
    if (shader && filter) return shader->serverName + " + " + filter->serverName;
    if (shader) return shader->serverName;
    if (filter) return filter->serverName;
    return "no servers";
}

// The two renders side by side, each with its label at the top left.
Image sideBySide(Image left, Image right, const std::string& leftLabel, const std::string& rightLabel) {
    const int32_t scale = std::clamp(left.height / 180, 1, 4);
    drawLabel(left, 4 * scale, 4 * scale, leftLabel, scale);
    drawLabel(right, 4 * scale, 4 * scale, rightLabel, scale);
    Image out(left.width + right.width, left.height, false);
    for (int32_t y = 0; y < out.height; ++y) {
        std::copy_n(left.pixel(0, y), left.width * 4, out.pixel(0, y));
        std::copy_n(right.pixel(0, y), right.width * 4, out.pixel(left.width, y));
    }
    return out;
}

struct Plan {
    int32_t first = 0, last = 0;
    bool sequence = false;  // numbered files, one per frame
    std::string fileFor(const std::string& output, int32_t frame) const {
        return sequence ? frameFileName(output, frame) : singleFrameName(output, frame);
    }
};

// Loads the module, renders the frames through its servers, writes them and
// unloads the module. Returns the command's status.
int renderWithModule(const RenderOptions& options, const Plan& plan, const Scene& scene) {
    std::string error;
    const int32_t height = scene.model.record.frameHeight;
    const int32_t frameCount = plan.last - plan.first + 1;
    const bool wantShader = options.shader != kNone;
    const bool wantFilter = options.filter != kNone;
    std::unique_ptr<Module> module;
    const ServerRow* shader = nullptr;
    const ServerRow* filter = nullptr;
    if (wantShader || wantFilter) {
        module = loadCommandModule(options.module, "--module FILE", error);
        if (!module) return fail(error);
        if (wantShader && !(shader = findServer(*module, host::kShaderHandlerClass, options.shader, "--shader", error)))
            return fail(error);
        if (wantFilter && !(filter = findServer(*module, host::kImageFilterHandlerClass, options.filter, "--filter", error)))
            return fail(error);
    }

    const int32_t threads =
        options.threads > 0 ? options.threads : static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    Host host(scene.model);
    host.log.enabled = false;

    FrameRequest request;
    request.threads = threads;
    request.samples = options.samples;
    request.stopOnInterrupt = true;
    std::optional<FrameSession> plain;
    if (options.compare) plain.emplace(host, scene, request);
    request.shader = shader;
    request.filter = filter;
    FrameSession served(host, scene, request);
    if (!served.error().empty()) return fail(served.error());

    ProgressBar bar("render " + serversLabel(shader, filter));
    bar.begin(static_cast<int64_t>(frameCount) * height * (options.compare ? 2 : 1));
    const auto endIfCrashed = [&](const FrameResult& result) {
        if (!result.fault) return;
        endByModuleFault("render", *result.fault, commandModulePath(options.module, "--module FILE", error));
    };
    std::vector<SheetFrame> sheet;
    int32_t written = 0;
    auto stopped = [&](int32_t frame) {
        bar.finish();
        const std::string file = plan.fileFor(options.output, frame);
        if (written == 0) {
            platform::print(stderr, "refhost render: the render was stopped; %s was not written\n", file.c_str());
        } else {
            platform::print(stderr, "refhost render: the render was stopped at frame %d; frames %d to %d are written, "
                                    "%s was not\n", frame, plan.first, frame - 1, file.c_str());
        }
        return interruptStatus();
    };
    for (int32_t frame = plan.first; frame <= plan.last; ++frame) {
        const double time = scene.timeOf(frame);
        Image image;
        if (plain) {
            FrameResult left = plain->render(frame, time, &bar);
            endIfCrashed(left);
            if (!left.error.empty()) return fail(left.error);
            if (left.stopped) return stopped(frame);
            FrameResult right = served.render(frame, time, &bar);
            endIfCrashed(right);
            if (!right.error.empty()) return fail(right.error);
            if (right.stopped) return stopped(frame);
            image = sideBySide(std::move(left.image), std::move(right.image), "without linear workflow",
                               serversLabel(shader, filter));
        } else {
            FrameResult result = served.render(frame, time, &bar);
            endIfCrashed(result);
            if (!result.error.empty()) return fail(result.error);
            if (result.stopped) return stopped(frame);
            image = std::move(result.image);
        }
        if (interruptRequested()) return stopped(frame);
        if (!writePng(plan.fileFor(options.output, frame), image, error)) {
            if (plan.first != plan.last)
                error += "; frame " + std::to_string(frame) + " failed after " + std::to_string(written) +
                         (written == 1 ? " frame was" : " frames were") + " written" +
                         (options.contactSheet.empty() ? "" : ", and the contact sheet was not written");
            return fail(error);
        }
        ++written;
        if (!options.contactSheet.empty()) sheet.push_back({frame, std::move(image)});
    }
    bar.finish();
    if (!options.contactSheet.empty() && !writePng(options.contactSheet, contactSheet(sheet), error)) return fail(error);
    return kExitSuccess;
}

} // namespace

int runRender(const RenderOptions& options) {
    if (options.width < 0 || options.width > kMaxFrameSide || options.height < 0 || options.height > kMaxFrameSide)
        return usage("the image size must be 1 to " + std::to_string(kMaxFrameSide) + " pixels each way");
    if (options.threads < 0 || options.threads > kMaxThreads)
        return usage("--threads must be 1 to " + std::to_string(kMaxThreads));
    if (options.samples < 1 || options.samples > kMaxSamples)
        return usage("--samples must be 1 to " + std::to_string(kMaxSamples));
    if (options.shader.empty() || options.filter.empty())
        return usage("--shader and --filter take a server name or \"none\"");
    std::string error;
    Plan plan;
    plan.first = plan.last = options.frame;
    if (!options.frames.empty()) {
        if (!parseFrameRange(options.frames, plan.first, plan.last, error)) return usage("--frames: " + error);
        plan.sequence = true;
        if (!checkOutputPattern(options.output, error)) return usage(error);
    } else if (options.frame < 0 || options.frame > kMaxFrameNumber) {
        return usage("--frame must be 0 to " + std::to_string(kMaxFrameNumber));
    }
    if (!options.contactSheet.empty() && !plan.sequence) return usage("--contact-sheet needs a sequence (--frames A-B)");

    // Everything the render will write can be written, and the scene reads,
    // before anything is loaded or drawn.
    if (!checkWritable(plan.fileFor(options.output, plan.first), error)) return fail(error);
    if (!options.contactSheet.empty() && !checkWritable(options.contactSheet, error)) return fail(error);
    SceneOptions sceneOptions;
    sceneOptions.width = options.width;
    sceneOptions.height = options.height;
    Scene scene;
    if (!loadScene(options.scene, sceneOptions, scene, error)) return fail(error);
    if (!options.contactSheet.empty()) {
        const int32_t width = scene.model.record.frameWidth, height = scene.model.record.frameHeight;
        const int32_t frameCount = plan.last - plan.first + 1;
        int64_t sheetWidth = 0, sheetHeight = 0;
        contactSheetSize(frameCount, width * (options.compare ? 2 : 1), height, sheetWidth, sheetHeight);
        if (sheetWidth * sheetHeight > kMaxContactSheetPixels)
            return fail(options.contactSheet + ": a contact sheet of " + std::to_string(sheetWidth) + " x " +
                        std::to_string(sheetHeight) + " pixels; --contact-sheet makes at most " +
                        std::to_string(kMaxContactSheetPixels >> 20) + " Mpixel (fewer frames or a smaller size)");
    }

    // Installed before the module is loaded, so that Ctrl-C never kills the
    // process halfway through writing.
    InterruptGuard interruptGuard;

    // From loading the module to unloading it, a crash of the module on this
    // thread comes back here; one on a shading thread in the frame's result.
    int status = kExitSuccess;
    const std::optional<ModuleFault> crashed = catchModuleFault([&] { status = renderWithModule(options, plan, scene); });
    if (crashed)
        endByModuleFault("render", *crashed, commandModulePath(options.module, "--module FILE", error));
    return status;
}

CommandLine addRenderCommand(CLI::App& app) {
    auto options = std::make_shared<RenderOptions>();
    CLI::App* command = app.add_subcommand(
        "render", "Render a scene with a module's shader and image filter servers; writes a PNG per frame.\n"
                  "Ctrl-C stops the render: the frame being drawn is not written, the frames\n"
                  "already written stay (exit 130; 143 on SIGTERM, 129 on SIGHUP).");
    command->add_option("--module", options->module, "Module file (default: the pluginServer.p beside refhost, else the installed one)");
    command->add_option("--scene", options->scene,
                        "Scene file (JSON, see docs/scene-format.md), or 'builtin' for the built-in scene")
        ->capture_default_str();
    command->add_option("--shader", options->shader, "Shader server for every surface ('none' for no shader)")
        ->capture_default_str();
    command->add_option("--filter", options->filter, "Image filter server for the frame ('none' for no filter)")
        ->capture_default_str();
    const std::string size = "1 to " + std::to_string(kMaxFrameSide);
    command->add_option("--width", options->width, "Image width in pixels, " + size + " (default: the scene's)")
        ->check(CLI::Range(1, kMaxFrameSide));
    command->add_option("--height", options->height, "Image height in pixels, " + size + " (default: the scene's)")
        ->check(CLI::Range(1, kMaxFrameSide));
    command->add_option("--threads", options->threads, "Shading threads, 1 to 256 (default: one per core)")
        ->check(CLI::Range(1, kMaxThreads));
    command->add_option("--samples", options->samples,
                        "Camera samples per pixel, 1 to 256: stratified, averaged in linear light")
        ->check(CLI::Range(1, kMaxSamples))
        ->capture_default_str();
    CLI::Option* frame = command->add_option("--frame", options->frame, "The one frame to render (default 0)")
                             ->check(CLI::Range(0, kMaxFrameNumber));
    CLI::Option* frames =
        command
            ->add_option("--frames", options->frames,
                         "A sequence FIRST-LAST: one file per frame, named OUTPUT with the frame number\n"
                         "(out.png gives out_0001.png ...; or a %04d pattern in OUTPUT)")
            ->check([](const std::string& text) {
                int32_t first = 0, last = 0;
                std::string error;
                return parseFrameRange(text, first, last, error) ? std::string() : error;
            });
    frame->excludes(frames);
    command->add_flag("--compare", options->compare,
                      "Write side-by-side images: left without servers, right through the servers");
    command->add_option("--contact-sheet", options->contactSheet,
                        "With --frames: also write every frame, labelled, in one PNG")
        ->check(pngFileName());
    command->add_option("OUTPUT", options->output, "PNG file to write (a name pattern with --frames)")
        ->required()
        ->check(pngFileName());
    return {command, [options] { return runRender(*options); }};
}

} // namespace refhost
