// refhost: loads modules of the plug-in interface and drives them as a host does.
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/host/EntryCall.h"
#include "refhost/image/OutputFile.h"
#include "refhost/platform/Platform.h"

int main(int argc, char** argv) {
    using namespace refhost;
    CLI::App app{"refhost - a reference host for plug-in modules (pluginServer.p and others).\n"
                 "Loads a module as the system loads libraries, reads its descriptor and server\n"
                 "table, and drives its servers as the host application would.",
                 "refhost"};
    app.require_subcommand(1);
    // A path such as /data/in.png is a file on every system; on Windows the
    // parser would otherwise read it as an option. Commands inherit this.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", "refhost (velorastin) " REFHOST_VERSION);
    app.footer("Run 'refhost COMMAND --help' for the options of one command.\n"
               "Exit status: 0 success, 1 the work failed (a check failed, a file could not be\n"
               "read or written), 2 usage error, 130 interrupted by Ctrl-C, 143 by SIGTERM,\n"
               "129 by SIGHUP.");

    const std::vector<CommandLine> commands = {
        addListCommand(app), addFilterCommand(app), addRenderCommand(app), addCheckCommand(app),
        addChartCommand(app),   addTraceCommand(app),
    };
    // UTF-8 from here on, whatever form the system handed the arguments in.
    const std::vector<std::string> arguments = platform::commandArguments(argc, argv);
    std::vector<const char*> words;
    for (const std::string& argument : arguments) words.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(words.size()), words.data());
    } catch (const CLI::ParseError& error) {
        return reportParseError(app, error);
    }
    for (const CommandLine& line : commands) {
        if (!line.command->parsed()) continue;
        int status;
        try {
            status = line.run();
        } catch (const EntryFault& fault) {
            // The command stops at the first entry that broke the calling
            // convention, before it writes anything more.
            return workFailed(line.command->get_name(), fault.what());
        }
        if (const std::string late = takeLateFault(); !late.empty())
            return workFailed(line.command->get_name(), late);
        // Output that did not all reach its reader is no success.
        if (!standardOutputWritten() && status == kExitSuccess) return kExitFailed;
        return status;
    }
    return kExitUsage;
}
