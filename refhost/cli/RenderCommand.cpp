#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/host/Module.h"
#include "refhost/image/Label.h"
#include "refhost/image/Progress.h"
#include "refhost/render/BuiltinScene.h"
#include "refhost/render/Renderer.h"

namespace refhost {

namespace {

constexpr int32_t kMaxSize = 8192;
constexpr int32_t kMaxThreads = 256;
const std::string kNone = "none";

int fail(const std::string& message) {
    std::fprintf(stderr, "refhost render: %s\n", message.c_str());
    return 1;
}

// The row of a server class and name; on failure a message that says whether
// the name belongs to a server of another class.
const ServerRow* findServer(const Module& module, const char* className, const std::string& name,
                            std::string& error) {
    if (const ServerRow* row = module.find(className, name)) return row;
    error = module.path() + ": no " + className + " server named \"" + name + "\"";
    for (const ServerRow& row : module.rows())
        if (row.serverName == name) error += " (\"" + name + "\" is a server of class " + row.className + ")";
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

} // namespace

int runRender(const RenderOptions& options) {
    if (options.scene != "builtin")
        return usageError("render", "--scene: unknown scene \"" + options.scene + "\" (only \"builtin\")");
    if (options.width < 1 || options.width > kMaxSize || options.height < 1 || options.height > kMaxSize)
        return usageError("render", "--width and --height must be 1 to " + std::to_string(kMaxSize));
    if (options.threads < 0 || options.threads > kMaxThreads)
        return usageError("render", "--threads must be 1 to " + std::to_string(kMaxThreads));
    if (options.shader.empty() || options.filter.empty())
        return usageError("render", "--shader and --filter take a server name or \"none\"");
    std::string error;
    if (!checkWritable(options.output, error)) return fail(error);

    // Installed before the module is loaded, so that Ctrl-C never kills the
    // process halfway through writing.
    InterruptGuard interruptGuard;

    const bool wantShader = options.shader != kNone;
    const bool wantFilter = options.filter != kNone;
    std::unique_ptr<Module> module;
    const ServerRow* shader = nullptr;
    const ServerRow* filter = nullptr;
    if (wantShader || wantFilter) {
        module = loadCommandModule(options.module, "--module FILE", error);
        if (!module) return fail(error);
        if (wantShader && !(shader = findServer(*module, host::kShaderHandlerClass, options.shader, error)))
            return fail(error);
        if (wantFilter && !(filter = findServer(*module, host::kImageFilterHandlerClass, options.filter, error)))
            return fail(error);
    }

    const int32_t threads =
        options.threads > 0 ? options.threads : static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    const BuiltinScene scene = builtinScene(options.width, options.height);
    Host host(scene.model);
    host.log.enabled = false;

    FrameRequest request;
    request.threads = threads;
    request.progress = true;
    request.stopOnInterrupt = true;
    auto stopped = [&] {
        std::fprintf(stderr, "refhost render: the render was stopped; %s was not written\n", options.output.c_str());
        return kExitInterrupted;
    };

    Image output;
    if (options.compare) {
        FrameResult plain = renderFrame(host, scene.geometry, request);
        if (!plain.error.empty()) return fail(plain.error);
        if (plain.stopped) return stopped();
        request.shader = shader;
        request.filter = filter;
        FrameResult served = renderFrame(host, scene.geometry, request);
        if (!served.error.empty()) return fail(served.error);
        if (served.stopped) return stopped();
        output = sideBySide(std::move(plain.image), std::move(served.image), "without linear workflow",
                            serversLabel(shader, filter));
    } else {
        request.shader = shader;
        request.filter = filter;
        FrameResult frame = renderFrame(host, scene.geometry, request);
        if (!frame.error.empty()) return fail(frame.error);
        if (frame.stopped) return stopped();
        output = std::move(frame.image);
    }
    if (interruptRequested()) return stopped();
    if (!writePng(options.output, output, error)) return fail(error);
    return 0;
}

CommandLine addRenderCommand(CLI::App& app) {
    auto options = std::make_shared<RenderOptions>();
    CLI::App* command = app.add_subcommand(
        "render", "Render a scene with a module's shader and image filter servers; writes a PNG.\n"
                  "Ctrl-C stops the render and writes nothing (exit 130).");
    command->add_option("--module", options->module, "Module file (default: the pluginServer.p beside refhost, else the installed one)");
    command->add_option("--scene", options->scene, "Scene to render")->check(CLI::IsMember({"builtin"}))
        ->capture_default_str();
    command->add_option("--shader", options->shader, "Shader server for every surface ('none' for no shader)")
        ->capture_default_str();
    command->add_option("--filter", options->filter, "Image filter server for the frame ('none' for no filter)")
        ->capture_default_str();
    command->add_option("--width", options->width, "Image width in pixels")->check(CLI::Range(1, 8192))
        ->capture_default_str();
    command->add_option("--height", options->height, "Image height in pixels")->check(CLI::Range(1, 8192))
        ->capture_default_str();
    command->add_option("--threads", options->threads, "Shading threads (default: one per core)")
        ->check(CLI::Range(1, 256));
    command->add_flag("--compare", options->compare,
                            "Write a side-by-side image: left without servers, right through the servers");
    command->add_option("OUTPUT", options->output, "PNG file to write")->required();
    return {command, [options] { return runRender(*options); }};
}

} // namespace refhost
