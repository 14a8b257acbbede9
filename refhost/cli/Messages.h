// How every command says what went wrong: one line "refhost COMMAND: message"
// on standard error, naming the file or option concerned and what to do.
#pragma once

#include <string>

#include "refhost/host/ModuleFault.h"

namespace CLI {
class App;
class ParseError;
}

namespace refhost {

// Each prints the message and returns the exit status (ExitStatus.h). A usage
// error adds where the command's options are explained. `command` is empty
// for refhost itself.
int workFailed(const std::string& command, const std::string& message);
int usageError(const std::string& command, const std::string& message);

// Says that the module of `modulePath` crashed, and what names its faults,
// then ends the process with the failure status at once (platform::endNow):
// neither its entries nor its unloading run again.
[[noreturn]] void endByModuleFault(const std::string& command, const ModuleFault& fault, const std::string& modulePath);

// What a module printed on the standard output that refhost set aside for
// it (platform::setOutputAside), on standard error, each line marked
// "module: ", so that refhost's own output holds only refhost's lines.
void passOnModuleOutput();

// What the command line parser refused, said as a usage error of the command
// being parsed; help and --version are a success.
int reportParseError(const CLI::App& app, const CLI::ParseError& error);

} // namespace refhost
