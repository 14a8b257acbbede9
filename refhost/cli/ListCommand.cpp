#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "refhost/cli/Commands.h"
#include "refhost/cli/ExitStatus.h"
#include "refhost/cli/Messages.h"
#include "refhost/host/Module.h"
#include "refhost/platform/Platform.h"

namespace refhost {

int runList(const ListOptions& options) {
    // The listing is refhost's alone: what the module prints goes to standard error.
    platform::setOutputAside();
    std::string error;
    std::unique_ptr<Module> module = loadCommandModule(options.module, "FILE", error);
    passOnModuleOutput();
    if (!module) return workFailed("list", error);
    const host::ModuleDescriptor& d = module->descriptor();
    std::FILE* out = platform::ownOutput();
    platform::print(out, "module      %s\n", module->path().c_str());
    platform::print(out, "sync        0x%08x\n", d.sync);
    platform::print(out, "version     %d\n", d.version);
    platform::print(out, "machine     0x%x\n", d.machine);
    platform::print(out, "startup     %u\n", module->startupResult());
    platform::print(out, "servers     %zu\n", module->rows().size());
    for (const ServerRow& row : module->rows())
        platform::print(out, "  %-3d %-22s %s\n", row.index, row.className.c_str(), row.serverName.c_str());
    return kExitSuccess;
}

CommandLine addListCommand(CLI::App& app) {
    auto options = std::make_shared<ListOptions>();
    CLI::App* command = app.add_subcommand("list", "Print a module's descriptor and its server table");
    command->add_option("FILE", options->module,
                        "Module file (default: the pluginServer.p beside refhost, else the installed one)");
    return {command, [options] { return runList(*options); }};
}

} // namespace refhost
