#include "refhost/cli/Messages.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "refhost/cli/ExitStatus.h"
#include "refhost/host/Utf8.h"
#include "refhost/image/Progress.h"
#include "refhost/platform/Platform.h"

namespace refhost {

void passOnModuleOutput() {
    constexpr std::size_t kPassedOn = 64 * 1024;
    std::size_t more = 0;
    const std::string text = platform::takeSetAsideOutput(kPassedOn, more);
    std::fflush(stderr);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        platform::writeText(stderr, "module: " + validUtf8(text.substr(at, end - at)) + "\n");
        at = end + 1;
    }
    if (more) platform::print(stderr, "module: (%zu bytes more)\n", more);
    std::fflush(stderr);
}

namespace {

std::string programName(const std::string& command) { return command.empty() ? "refhost" : "refhost " + command; }

std::string commandNames(const CLI::App& app) {
    const std::vector<const CLI::App*> commands = app.get_subcommands([](const CLI::App*) { return true; });
    std::string names;
    for (std::size_t i = 0; i < commands.size(); ++i)
        names += (i == 0 ? "" : i + 1 == commands.size() ? " and " : ", ") + commands[i]->get_name();
    return names;
}

// What was left over on a command line: unknown options and arguments beyond
// those the command takes.
std::string leftoverMessage(const std::vector<std::string>& leftover) {
    const std::string& first = leftover.front();
    if (first.size() > 1 && first[0] == '-') return "unknown option " + first;
    std::string message = leftover.size() > 1 ? "unexpected arguments" : "unexpected argument";
    for (const std::string& item : leftover) message += " '" + item + "'";
    return message;
}

} // namespace

int workFailed(const std::string& command, const std::string& message) {
    platform::print(stderr, "%s: %s\n", programName(command).c_str(), message.c_str());
    return kExitFailed;
}

void endByModuleFault(const std::string& command, const ModuleFault& fault, const std::string& modulePath) {
    std::fflush(stdout);
    ProgressBar::endOpenLine();
    workFailed(command, fault.text() + "; 'refhost check " + modulePath + "' names the rules it breaks");
    platform::endNow(kExitFailed);
}

int usageError(const std::string& command, const std::string& message) {
    const std::string name = programName(command);
    platform::print(stderr, "%s: %s\nRun '%s --help' for %s.\n", name.c_str(), message.c_str(), name.c_str(),
                    command.empty() ? "the commands" : "its arguments and options");
    return kExitUsage;
}

int reportParseError(const CLI::App& app, const CLI::ParseError& error) {
    const std::string kind = error.get_name();
    if (kind == "CallForHelp" || kind == "CallForAllHelp" || kind == "CallForVersion")
        return app.exit(error) == 0 ? kExitSuccess : kExitUsage;

    // Words before any command belong to refhost itself.
    if (const std::vector<std::string> leftover = app.remaining(); !leftover.empty()) {
        const std::string& first = leftover.front();
        if (first[0] == '-') return usageError("", leftoverMessage(leftover));
        return usageError("", "unknown command '" + first + "'; the commands are " + commandNames(app));
    }
    const std::vector<CLI::App*> parsed = app.get_subcommands();
    if (parsed.empty()) return usageError("", "no command given; the commands are " + commandNames(app));
    // The parser stops in the last command it entered.
    const CLI::App& command = *parsed.back();
    if (const std::vector<std::string> leftover = command.remaining(); !leftover.empty())
        return usageError(command.get_name(), leftoverMessage(leftover));
    return usageError(command.get_name(), error.what());
}

} // namespace refhost
