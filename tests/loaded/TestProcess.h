// Programs the loaded tests start, and the folders they write into. What
// differs between Linux and Windows is in TestProcess.cpp and nowhere else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// The system's reason for a file that is not there, as refhost gives it.
std::string missingFileReason();

// A fresh folder under the system's temporary folder, removed with everything
// in it. Its path uses '/' on both systems.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    std::vector<std::string> entries() const;  // the names in it (UTF-8 on Windows), sorted

private:
    std::string path_;
};

struct CommandResult {
    int exitCode = -1;  // the exit status, or 128 + the signal that ended the program
    // What the program wrote. On Windows the C runtime writes "\r\n" for each
    // "\n" of text; it is read back as "\n".
    std::string out, err;
};

// Runs `program` with `args` (no shell) and an empty standard input,
// capturing its standard output and error.
CommandResult runProgram(const std::string& program, const std::vector<std::string>& args);

struct ProgramEnd {
    bool exited = false;  // false: ended by a signal
    int status = -1;      // the exit status, or the signal
};

// The ways a program is ended from outside: Ctrl-C, SIGTERM, SIGHUP (the
// last two on Linux only), and killing it outright.
enum class Ending { Interrupt, Terminate, HangUp, Kill };

// A program running beside the test, for the tests that interrupt it. Its
// standard input is empty, its standard output goes to `outputFile` or
// nowhere; its standard error is the test's, or a terminal that the test
// reads. On Windows it has a console of its own, so that it can be sent
// Ctrl-C alone.
class RunningProgram {
public:
    enum class StandardError { Inherited, Terminal };
    RunningProgram(const std::string& program, const std::vector<std::string>& args,
                   StandardError standardError = StandardError::Inherited, const std::string& outputFile = "");
    ~RunningProgram();  // a program still running is killed
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool started() const { return started_; }
    // Why it was not started, or why there is no terminal (then the test skips).
    const std::string& problem() const { return problem_; }
    bool noTerminalHere() const { return noTerminal_; }

    // Whether the program handles Ctrl-C now. Linux: it catches SIGINT.
    // Windows, where a process's console handlers cannot be seen from outside:
    // it has loaded a library of its own (refhost installs its handler before
    // it loads a module).
    bool catchesInterrupt() const;
    // Ctrl-C: SIGINT on Linux, CTRL_C_EVENT on its console on Windows.
    bool interrupt();
    // Interrupt as interrupt(); Terminate and HangUp send SIGTERM and SIGHUP
    // (false on Windows); Kill sends SIGKILL, or calls TerminateProcess.
    bool end(Ending ending);
    unsigned long id() const;
    // What the program has written to its terminal since the last call,
    // waiting up to `milliseconds` for some; false once it closed the terminal.
    bool readTerminal(std::string& shown, int milliseconds);
    // Waits up to `seconds` for the program to end; one still running then is
    // killed, and the result is empty.
    std::optional<ProgramEnd> waitForExit(double seconds);

private:
    bool started_ = false, noTerminal_ = false, ended_ = false;
    std::string problem_;
#ifdef _WIN32
    void* process_ = nullptr;
    unsigned long id_ = 0;
#else
    int pid_ = -1;
    int terminal_ = -1;
#endif
};

// The processes that a running program has started and that run now, each
// held so that its end can be awaited after the program's own. Those still
// running when this goes are killed.
class ChildProcesses {
public:
    explicit ChildProcesses(const RunningProgram& parent);
    ~ChildProcesses();
    // Only their ids, holding none.
    static std::vector<unsigned long> idsOf(const RunningProgram& parent);
    ChildProcesses(const ChildProcesses&) = delete;
    ChildProcesses& operator=(const ChildProcesses&) = delete;

    const std::vector<unsigned long>& ids() const { return ids_; }
    // Whether every one has ended, waiting up to `seconds` for them.
    bool endWithin(double seconds) const;

private:
    std::vector<unsigned long> ids_;
    std::vector<intptr_t> handles_;  // process handles on Windows, pidfds on Linux
};

} // namespace testing_support
