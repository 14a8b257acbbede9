// The refhost commands, callable from the command line and from tests. Each
// prints its own messages and returns the process exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "refhost/host/Module.h"

namespace CLI {
class App;
}

namespace refhost {

// One command on the command line: its CLI11 subcommand, with its options
// bound, and what runs it once the line is parsed.
struct CommandLine {
    CLI::App* command;
    std::function<int()> run;
};
CommandLine addListCommand(CLI::App& app);
CommandLine addFilterCommand(CLI::App& app);
CommandLine addRenderCommand(CLI::App& app);
CommandLine addCheckCommand(CLI::App& app);
CommandLine addChartCommand(CLI::App& app);
CommandLine addTraceCommand(CLI::App& app);

// Where a command looks for its module when it is given none: beside the
// refhost program (a build tree), then in the installed library folder.
std::vector<std::string> defaultModuleCandidates();
// The first of those that is a file, or empty.
std::string defaultModulePath();
// The path of the module `given`, or of the default one when `given` is
// empty; empty, with a message saying how to give one, when there is none.
std::string commandModulePath(const std::string& given, const std::string& howToGive, std::string& error);
// The module `given`, or the default one when `given` is empty. On failure the
// message names the file and what to do; `howToGive` is how the command takes
// a module ("--module FILE").
std::unique_ptr<Module> loadCommandModule(const std::string& given, const std::string& howToGive,
                                          std::string& error);
// ` ("NAME" is a server of class CLASS)` for each row of the module named
// `name`, for a message about a server not found in another class; with no
// name, the same for each row of a class no host knows. Else empty.
std::string serverClassNote(const Module& module, const std::string& name);

struct ListOptions {
    std::string module;  // empty: defaultModulePath()
};
int runList(const ListOptions& options);

struct FilterOptions {
    std::string module;   // empty: defaultModulePath()
    std::string server;   // empty: the first "ImageFilterHandler" row
    std::string input;
    std::string output;
    double time = 0.0;
    int64_t maxPixels = 0;  // 0: the reader's default limit
};
int runFilter(const FilterOptions& options);

struct RenderOptions {
    std::string module;
    std::string scene = "builtin";  // or a scene file
    std::string shader = "VelorastinShader";
    std::string filter = "VelorastinFilter";
    int32_t width = 0;    // 0: the scene's
    int32_t height = 0;   // 0: the scene's
    int32_t threads = 0;  // 0: one per core
    int32_t samples = 1;  // camera samples per pixel
    int32_t frame = 0;    // the one frame rendered when `frames` is empty
    std::string frames;   // "A-B": a sequence, one numbered file per frame
    bool compare = false;
    std::string contactSheet;  // with a sequence: all frames in one PNG
    std::string output;
};
int runRender(const RenderOptions& options);

struct CheckOptions {
    std::string module;
    uint32_t seed = 1;
    std::vector<std::string> only;  // glob patterns (or texts a name contains); empty: every check
    std::vector<std::string> exclude;  // "PATTERN=REASON": such checks are reported SKIP with REASON
    double timeout = 20.0;  // seconds per check
    std::string junit;      // JUnit XML report path, empty for none
    std::string json;       // JSON report path, empty for none
    bool list = false;      // print the checks with their rules in one line, run none
    bool rules = false;     // with list: each check's rules under its name
    int32_t repeat = 1;     // the randomised checks run with seeds seed .. seed + repeat - 1
    bool noFork = false;    // every check in this process (for a debugger)
    bool strict = false;    // warnings fail the run
    bool verbose = false;   // console lines carry every part of a failure
    // A child process that runs one check (where a child cannot be a copy of
    // its parent): the check's name.
    std::string child;
};
int runCheck(const CheckOptions& options);

// A test chart: a grey ramp over colour and grey swatches, as RGB PNG.
struct ChartOptions {
    int32_t width = 768;
    int32_t height = 256;
    std::string output;
};
int runChart(const ChartOptions& options);

} // namespace refhost
