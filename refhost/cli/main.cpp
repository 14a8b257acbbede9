// refhost: loads modules of the plug-in interface and drives them as a host does.
#include <CLI/CLI.hpp>

#include <vector>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"

int main(int argc, char** argv) {
    using namespace refhost;
    CLI::App app{"refhost - a reference host for plug-in modules (pluginServer.p and others).\n"
                 "Loads a module with dlopen, reads its descriptor and server table, and\n"
                 "drives its servers as the host application would."};
    app.require_subcommand(1);
    app.footer("Run 'refhost COMMAND --help' for the options of one command.\n"
               "Exit status: 0 success, 1 the work failed (a check failed, a file could not be\n"
               "read or written), 2 usage error, 130 interrupted by Ctrl-C.");

    const std::vector<CommandLine> commands = {
        addListCommand(app), addFilterCommand(app), addRenderCommand(app), addCheckCommand(app),
        addChartCommand(app),   addTraceCommand(app),
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help is a success; everything else the parser refuses is a usage error.
        const int status = app.exit(error);
        return status == 0 ? kExitSuccess : kExitUsage;
    }
    for (const CommandLine& line : commands)
        if (line.command->parsed()) return line.run();
    return kExitUsage;
}
