#include <CLI/CLI.hpp>

#include <memory>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/cli/Validators.h"
#include "refhost/image/Chart.h"
#include "refhost/image/Image.h"

namespace refhost {

int runChart(const ChartOptions& options) {
    std::string error;
    if (!writePng(options.output, makeChart(options.width, options.height), error))
        return workFailed("chart", error);
    return kExitSuccess;
}

CommandLine addChartCommand(CLI::App& app) {
    auto options = std::make_shared<ChartOptions>();
    CLI::App* command = app.add_subcommand(
        "chart", "Write a test chart (a grey ramp over colour and grey swatches) as an RGB PNG");
    command->add_option("--width", options->width, "Width in pixels")->check(CLI::Range(2, 8192))->capture_default_str();
    command->add_option("--height", options->height, "Height in pixels")->check(CLI::Range(2, 8192))->capture_default_str();
    command->add_option("OUTPUT", options->output, "PNG file to write")->required()->check(pngFileName());
    return {command, [options] { return runChart(*options); }};
}

} // namespace refhost
