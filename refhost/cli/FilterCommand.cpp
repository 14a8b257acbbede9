#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <optional>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/cli/Validators.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/host/ModuleFault.h"
#include "refhost/image/ImageJob.h"
#include "refhost/image/Progress.h"
#include "refhost/platform/Platform.h"

namespace refhost {

namespace {
// What one filter run can hold in a 32-bit process: the image as read, the
// planes and output the host hands the filter, and the file written.
constexpr int64_t kMaxFilterPixels = int64_t{128} << 20;

int stoppedMessage(const FilterOptions& options) {
    platform::print(stderr, "refhost filter: the filter was stopped; %s was not written\n", options.output.c_str());
    return interruptStatus();
}

// Loads the module, runs its filter server over `input` into `output` and
// unloads it again. Returns the command's status: success, or the failure it
// has printed.
int filterWithModule(const FilterOptions& options, const Image& input, Image& output) {
    auto fail = [](const std::string& message) { return workFailed("filter", message); };
    std::string error;
    std::unique_ptr<Module> module = loadCommandModule(options.module, "--module FILE", error);
    if (!module) return fail(error);
    const ServerRow* row = module->find(host::kImageFilterHandlerClass, options.server);
    if (!row) {
        return fail(module->path() + ": no image filter server" +
                    (options.server.empty() ? std::string() : " named \"" + options.server + "\"") +
                    serverClassNote(*module, options.server) + "; 'refhost list " + module->path() +
                    "' shows the servers it has");
    }

    Host hostEmulation(SceneModel::basic(input.width, input.height));
    hostEmulation.log.enabled = false;
    FilterDriver driver(*row);
    if (const std::string unusable = driver.bindForUse(); !unusable.empty())
        return fail(unusable + "; 'refhost check " + module->path() + "' names the rules it breaks");
    host::Instance instance = driver.create();
    if (!instance) return fail("\"" + row->serverName + "\" created no instance");
    if (interruptRequested()) {
        driver.destroy(instance);
        return stoppedMessage(options);
    }

    bool stopped = false;
    {
        // The bar ends its line when it goes, before any message is printed.
        ProgressBar bar("filter " + row->serverName);
        ImageJob job(input, options.time);
        job.progress = &bar;
        job.stopOnInterrupt = true;
        driver.process(instance, job.access());
        driver.destroy(instance);
        stopped = job.stopped || interruptRequested();
        output = std::move(job.output);
    }
    return stopped ? stoppedMessage(options) : kExitSuccess;
}

} // namespace

int runFilter(const FilterOptions& options) {
    // Ctrl-C from here on ends the command with its message, not by the signal.
    InterruptGuard interruptGuard;
    std::string error;
    Image input;
    ImageLimits limits;
    if (options.maxPixels > 0) limits.maxPixels = options.maxPixels;
    if (!readImage(options.input, input, error, limits)) return workFailed("filter", error);
    if (!checkWritable(options.output, error)) return workFailed("filter", error);

    Image output;
    int status = kExitSuccess;
    if (const std::optional<ModuleFault> crashed =
            catchModuleFault([&] { status = filterWithModule(options, input, output); }))
        endByModuleFault("filter", *crashed, commandModulePath(options.module, "--module FILE", error));
    if (status != kExitSuccess) return status;
    if (!writePng(options.output, output, error)) return workFailed("filter", error);
    return kExitSuccess;
}

CommandLine addFilterCommand(CLI::App& app) {
    auto options = std::make_shared<FilterOptions>();
    CLI::App* command = app.add_subcommand(
        "filter", "Run an image filter server of a module over an 8-bit image file (PNG, JPEG, BMP, TGA);\n"
                  "writes a PNG. Ctrl-C stops the filter and writes nothing (exit 130; 143 on SIGTERM, 129 on SIGHUP).");
    command->add_option("--module", options->module, "Module file (default: the pluginServer.p beside refhost, else the installed one)");
    command->add_option("--server", options->server,
                              "Image filter server name (default: the module's first ImageFilterHandler row)");
    command->add_option("--time", options->time, "Frame time handed to the filter, in seconds")
        ->capture_default_str()
        ->check(finiteNumber());
    command->add_option("--max-pixels", options->maxPixels,
                        "Largest image read, in pixels (default " + std::to_string(kDefaultMaxPixels) + ", " +
                            megapixels(kDefaultMaxPixels) + "; at most " + std::to_string(kMaxFilterPixels) +
                            "); images are also at most " + std::to_string(kMaxImageSide) + " pixels on a side")
        ->check(CLI::Range(int64_t{1}, kMaxFilterPixels));
    command->add_option("INPUT", options->input, "Image to filter")->required();
    command->add_option("OUTPUT", options->output, "PNG file to write")->required()->check(pngFileName());
    return {command, [options] { return runFilter(*options); }};
}

} // namespace refhost
