// Which module a command uses when it is given none.
#include <algorithm>
#include <string>

#include "refhost/check/KnownServers.h"
#include "refhost/cli/Commands.h"
#include "refhost/platform/Platform.h"

#ifndef REFHOST_MODULE_FROM_BINDIR
#define REFHOST_MODULE_FROM_BINDIR "../lib/velorastin"
#endif

namespace refhost {

namespace {

std::string programFolder() {
    const std::string program = platform::programPath();
    const std::size_t separator = platform::lastSeparator(program);
    return separator == std::string::npos ? std::string(".") : program.substr(0, separator);
}

// `name` ('/' between its folders) inside `folder`, written with the system's
// separator; each ".." it starts with takes the last folder off `folder`.
std::string inside(std::string folder, std::string name) {
    for (std::size_t at; name.rfind("../", 0) == 0 && (at = platform::lastSeparator(folder)) != std::string::npos;) {
        folder.erase(at);
        name.erase(0, 3);
    }
    const char separator = platform::folderSeparator();
    std::replace(name.begin(), name.end(), '/', separator);
    return folder + separator + name;
}

bool isFile(const std::string& path) {
    std::string ignored;
    return platform::fileKind(path, ignored) == platform::FileKind::Regular;
}

} // namespace

std::vector<std::string> defaultModuleCandidates() {
    const std::string folder = programFolder();
    // A build tree has the module beside the program; an installed tree has
    // it in the project's library folder, the same path from bin/ whatever the prefix.
    return {inside(folder, "pluginServer.p"), inside(folder, REFHOST_MODULE_FROM_BINDIR "/pluginServer.p")};
}

std::string defaultModulePath() {
    for (const std::string& candidate : defaultModuleCandidates())
        if (isFile(candidate)) return candidate;
    return {};
}

std::string commandModulePath(const std::string& given, const std::string& howToGive, std::string& error) {
    const std::string path = given.empty() ? defaultModulePath() : given;
    if (path.empty()) {
        const std::vector<std::string> looked = defaultModuleCandidates();
        error = "no module given, and no pluginServer.p at " + looked[0] + " or " + looked[1] +
                "; give one as " + howToGive;
    }
    return path;
}

std::string serverClassNote(const Module& module, const std::string& name) {
    std::string note;
    for (const ServerRow& row : module.rows()) {
        const bool known = check::knownClass(row.className);
        // Without a name, the rows no host would bind are the likely mistake.
        if (name.empty() ? known : row.serverName != name) continue;
        note += " (\"" + row.serverName + "\" is a server of class " + row.className +
                (known ? ")" : ", which no host knows)");
    }
    return note;
}

std::unique_ptr<Module> loadCommandModule(const std::string& given, const std::string& howToGive, std::string& error) {
    const std::string path = commandModulePath(given, howToGive, error);
    if (path.empty()) return nullptr;
    std::unique_ptr<Module> module = Module::load(path, error);
    // A file that is there but refused has broken a rule of the interface;
    // the validator says which, and what else.
    if (!module && isFile(path)) error += " (run 'refhost check " + path + "' for a full report)";
    return module;
}

} // namespace refhost
