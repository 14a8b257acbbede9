// refhost: loads modules of the plug-in interface and drives them as a host does.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "refhost/Commands.h"

int main(int argc, char** argv) {
    using namespace refhost;
    CLI::App app{"refhost - a reference host for plug-in modules (pluginServer.p and others).\n"
                 "Loads a module with dlopen, reads its descriptor and server table, and\n"
                 "drives its servers as the host application would."};
    app.require_subcommand(1);
    app.footer("Run 'refhost COMMAND --help' for the options of one command.");

    ListOptions list;
    CLI::App* listCommand = app.add_subcommand("list", "Print a module's descriptor and its server table");
    listCommand->add_option("FILE", list.module, "Module file, e.g. build/release/pluginServer.p")->required();

    FilterOptions filter;
    CLI::App* filterCommand = app.add_subcommand(
        "filter", "Run an image filter server of a module over an 8-bit image file (PNG, JPEG, BMP, TGA);\n"
                  "writes a PNG. Ctrl-C stops the filter and writes nothing (exit 130).");
    filterCommand->add_option("--module", filter.module, "Module file (default: the pluginServer.p built beside refhost)");
    filterCommand->add_option("--server", filter.server,
                              "Image filter server name (default: the module's first ImageFilterHandler row)");
    filterCommand->add_option("--time", filter.time, "Frame time handed to the filter, in seconds")
        ->capture_default_str();
    filterCommand->add_option("INPUT", filter.input, "Image to filter")->required();
    filterCommand->add_option("OUTPUT", filter.output, "PNG file to write")->required();

    RenderOptions render;
    CLI::App* renderCommand = app.add_subcommand(
        "render", "Render a scene with a module's shader and image filter servers; writes a PNG.\n"
                  "Ctrl-C stops the render and writes nothing (exit 130).");
    renderCommand->add_option("--module", render.module, "Module file (default: the pluginServer.p built beside refhost)");
    renderCommand->add_option("--scene", render.scene, "Scene to render")->check(CLI::IsMember({"builtin"}))
        ->capture_default_str();
    renderCommand->add_option("--shader", render.shader, "Shader server for every surface ('none' for no shader)")
        ->capture_default_str();
    renderCommand->add_option("--filter", render.filter, "Image filter server for the frame ('none' for no filter)")
        ->capture_default_str();
    renderCommand->add_option("--width", render.width, "Image width in pixels")->check(CLI::Range(1, 8192))
        ->capture_default_str();
    renderCommand->add_option("--height", render.height, "Image height in pixels")->check(CLI::Range(1, 8192))
        ->capture_default_str();
    renderCommand->add_option("--threads", render.threads, "Shading threads (default: one per core)")
        ->check(CLI::Range(1, 256));
    renderCommand->add_flag("--compare", render.compare,
                            "Write a side-by-side image: left without servers, right through the servers");
    renderCommand->add_option("OUTPUT", render.output, "PNG file to write")->required();

    CheckOptions check;
    CLI::App* checkCommand = app.add_subcommand(
        "check", "Validate a module: every check runs in a child process with a time limit.\n"
                 "Exit 0 only when nothing failed, crashed or timed out.");
    checkCommand->add_option("FILE", check.module, "Module file")->required();
    checkCommand->add_option("--seed", check.seed, "Seed of the randomised checks")->capture_default_str();
    checkCommand->add_option("--only", check.only, "Run only the checks whose name contains this text");
    checkCommand->add_option("--timeout", check.timeout, "Seconds each check may take")
        ->check(CLI::PositiveNumber)->capture_default_str();
    checkCommand->add_option("--junit", check.junit, "Write a JUnit XML report to this file");

    ChartOptions chart;
    CLI::App* chartCommand = app.add_subcommand(
        "chart", "Write a test chart (a grey ramp over colour and grey swatches) as an RGB PNG");
    chartCommand->add_option("--width", chart.width, "Width in pixels")->check(CLI::Range(2, 8192))->capture_default_str();
    chartCommand->add_option("--height", chart.height, "Height in pixels")->check(CLI::Range(2, 8192))->capture_default_str();
    chartCommand->add_option("OUTPUT", chart.output, "PNG file to write")->required();

    CLI11_PARSE(app, argc, argv);

    if (listCommand->parsed()) return runList(list);
    if (filterCommand->parsed()) return runFilter(filter);
    if (renderCommand->parsed()) return runRender(render);
    if (checkCommand->parsed()) return runCheck(check);
    if (chartCommand->parsed()) return runChart(chart);
    return 1;
}
