#include "tests/loaded/TestProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cwctype>

#include "refhost/platform/CommandLine.h"
#include "refhost/platform/WideText.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;
#endif

namespace testing_support {

namespace fs = std::filesystem;

namespace {

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TempFolder::TempFolder() {
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    std::mt19937 names(std::random_device{}());
    for (int attempt = 0; attempt < 100 && path_.empty() && !base.empty(); ++attempt) {
        const fs::path candidate = base / ("refhost-test-" + std::to_string(names()));
        if (fs::create_directory(candidate, error)) path_ = candidate.generic_string();
    }
    EXPECT_FALSE(path_.empty()) << "cannot create a temporary folder in " << base << ": " << error.message();
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
}

std::vector<std::string> TempFolder::entries() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(path_, error)) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

#ifdef _WIN32

namespace {

using refhost::platform::wide;

std::wstring windowsPath(const std::string& path) {
    std::wstring out = wide(path);
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

std::wstring commandLine(const std::string& program, const std::vector<std::string>& args) {
    std::wstring line;
    refhost::platform::appendArgument(line, windowsPath(program));
    for (const std::string& arg : args) refhost::platform::appendArgument(line, wide(arg));
    return line;
}

// A handle a started program inherits: to the file at `path`, or to the null device.
HANDLE openInherited(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.empty() ? L"NUL" : windowsPath(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, write && !path.empty() ? CREATE_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Text the C runtime wrote, with its "\r\n" line ends back to "\n".
std::string fromText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

// This process takes no notice of the Ctrl-C it sends: the event can reach
// it after it has left the other program's console.
BOOL WINAPI ignoreInterrupt(DWORD event) { return event == CTRL_C_EVENT; }

} // namespace

std::string missingFileReason() {
    // The system's message without its closing full stop and line end, as refhost trims it.
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND, 0, text,
                   sizeof text, nullptr);
    std::string reason = text;
    while (!reason.empty() && std::string("\r\n .").find(reason.back()) != std::string::npos) reason.pop_back();
    return reason;
}

CommandResult runProgram(const std::string& program, const std::vector<std::string>& args) {
    CommandResult result;
    TempFolder folder;
    const std::string outPath = folder.file("stdout"), errPath = folder.file("stderr");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = openInherited("", false);
    startup.hStdOutput = openInherited(outPath, true);
    startup.hStdError = openInherited(errPath, true);
    std::wstring line = commandLine(program, args);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(windowsPath(program).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    const DWORD startError = GetLastError();
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    EXPECT_TRUE(started) << "cannot run " << program << ": error " << startError;
    if (!started) return result;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    result.exitCode = static_cast<int>(status);
    result.out = fromText(contentOf(outPath));
    result.err = fromText(contentOf(errPath));
    return result;
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               StandardError standardError, const std::string& outputFile) {
    if (standardError == StandardError::Terminal) {
        noTerminal_ = true;
        problem_ = "refhost.exe draws its progress bar on a console, whose screen is not a stream to read";
        return;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = openInherited("", false);
    startup.hStdOutput = openInherited(outputFile, true);
    HANDLE error = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &error, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    startup.hStdError = error;
    std::wstring line = commandLine(program, args);
    PROCESS_INFORMATION process{};
    // A console of its own: Ctrl-C goes to every process on a console.
    started_ = CreateProcessW(windowsPath(program).c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE,
                              nullptr, nullptr, &startup, &process);
    if (!started_) problem_ = "cannot run " + program + ": error " + std::to_string(GetLastError());
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (!started_) return;
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    id_ = process.dwProcessId;
}

RunningProgram::~RunningProgram() {
    if (!process_) return;
    if (!ended_) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
    }
    CloseHandle(process_);
}

bool RunningProgram::catchesInterrupt() const {
    if (!started_) return false;
    wchar_t windowsFolder[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windowsFolder, MAX_PATH);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id_);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool own = false;
    // The first entry is the program itself.
    for (BOOL more = Module32FirstW(snapshot, &entry) && Module32NextW(snapshot, &entry); more && !own;
         more = Module32NextW(snapshot, &entry))
        own = _wcsnicmp(entry.szExePath, windowsFolder, length) != 0;
    CloseHandle(snapshot);
    return own;
}

// Ctrl-C reaches every process on a console, so this process joins the
// program's console to send it, and leaves it again. It does not go back to
// its own: the programs it starts later get a console of their own instead.
bool RunningProgram::interrupt() {
    if (!started_ || ended_) return false;
    static const bool ignoring = SetConsoleCtrlHandler(ignoreInterrupt, TRUE);  // once, and for good
    (void)ignoring;
    FreeConsole();
    if (!AttachConsole(id_)) return false;
    const bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    return sent;
}

bool RunningProgram::readTerminal(std::string&, int) { return false; }

bool RunningProgram::end(Ending ending) {
    if (ending == Ending::Interrupt) return interrupt();
    return ending == Ending::Kill && started_ && !ended_ && TerminateProcess(process_, 1);
}

unsigned long RunningProgram::id() const { return id_; }

std::vector<unsigned long> ChildProcesses::idsOf(const RunningProgram& parent) {
    std::vector<unsigned long> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == parent.id()) ids.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

ChildProcesses::ChildProcesses(const RunningProgram& parent) {
    for (const unsigned long id : idsOf(parent)) {
        // Gone since it was listed: not one of those that run now.
        if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id)) {
            ids_.push_back(id);
            handles_.push_back(reinterpret_cast<intptr_t>(process));
        }
    }
}

ChildProcesses::~ChildProcesses() {
    for (const intptr_t handle : handles_) {
        const auto process = reinterpret_cast<HANDLE>(handle);
        if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

bool ChildProcesses::endWithin(double seconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (const intptr_t handle : handles_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (WaitForSingleObject(reinterpret_cast<HANDLE>(handle), static_cast<DWORD>(std::max<long long>(left.count(), 0))) !=
            WAIT_OBJECT_0)
            return false;
    }
    return true;
}

std::optional<ProgramEnd> RunningProgram::waitForExit(double seconds) {
    if (!started_ || ended_) return std::nullopt;
    ended_ = true;
    if (WaitForSingleObject(process_, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
        return std::nullopt;
    }
    DWORD status = 0;
    GetExitCodeProcess(process_, &status);
    return ProgramEnd{true, static_cast<int>(status)};
}

#else

namespace {

// Runs `program` with `args` and the given file actions; the child's id, or -1.
pid_t spawn(const std::string& program, const std::vector<std::string>& args, const posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, program.c_str(), actions, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

ProgramEnd endOf(int status) {
    return WIFEXITED(status) ? ProgramEnd{true, WEXITSTATUS(status)} : ProgramEnd{false, WTERMSIG(status)};
}

} // namespace

std::string missingFileReason() { return "No such file or directory"; }

CommandResult runProgram(const std::string& program, const std::vector<std::string>& args) {
    CommandResult result;
    TempFolder folder;
    const std::string outPath = folder.file("stdout"), errPath = folder.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = spawn(program, args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_NE(pid, -1) << "cannot run " << program;
    if (pid == -1) return result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const ProgramEnd end = endOf(status);
    result.exitCode = end.exited ? end.status : 128 + end.status;
    result.out = contentOf(outPath);
    result.err = contentOf(errPath);
    return result;
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               StandardError standardError, const std::string& outputFile) {
    std::string terminal;
    if (standardError == StandardError::Terminal) {
        terminal_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) {
            noTerminal_ = true;
            problem_ = "no pseudo-terminals here";
            return;
        }
        terminal = ptsname(terminal_);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!terminal.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
    pid_ = spawn(program, args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    started_ = pid_ != -1;
    if (!started_) problem_ = "cannot run " + program + ": " + std::strerror(errno);
}

RunningProgram::~RunningProgram() {
    if (terminal_ >= 0) close(terminal_);
    if (started_ && !ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool RunningProgram::catchesInterrupt() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigCgt:", 0) == 0) return (std::strtoull(line.c_str() + 7, nullptr, 16) & (1u << (SIGINT - 1))) != 0;
    return false;
}

bool RunningProgram::interrupt() { return end(Ending::Interrupt); }

bool RunningProgram::end(Ending ending) {
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGKILL};
    return started_ && !ended_ && kill(pid_, signals[static_cast<int>(ending)]) == 0;
}

unsigned long RunningProgram::id() const { return static_cast<unsigned long>(pid_); }

std::vector<unsigned long> ChildProcesses::idsOf(const RunningProgram& parent) {
    std::vector<unsigned long> ids;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // "pid (name) state ppid ...", where the name may hold spaces and parentheses.
        const std::string stat = contentOf("/proc/" + name + "/stat");
        const std::size_t close = stat.rfind(')');
        unsigned long ppid = 0;
        if (close != std::string::npos && std::sscanf(stat.c_str() + close + 1, " %*c %lu", &ppid) == 1 &&
            ppid == parent.id())
            ids.push_back(std::stoul(name));
    }
    return ids;
}

ChildProcesses::ChildProcesses(const RunningProgram& parent) {
    for (const unsigned long id : idsOf(parent)) {
        // Gone since it was listed: not one of those that run now.
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(id), 0));
        if (pidfd < 0) continue;
        ids_.push_back(id);
        handles_.push_back(pidfd);
    }
}

ChildProcesses::~ChildProcesses() {
    for (const intptr_t pidfd : handles_) {
        pollfd ended{static_cast<int>(pidfd), POLLIN, 0};
        if (poll(&ended, 1, 0) != 1) syscall(SYS_pidfd_send_signal, static_cast<int>(pidfd), SIGKILL, nullptr, 0);
        close(static_cast<int>(pidfd));
    }
}

bool ChildProcesses::endWithin(double seconds) const {
    // A pidfd becomes readable when its process has ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (const intptr_t pidfd : handles_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ended{static_cast<int>(pidfd), POLLIN, 0};
        if (poll(&ended, 1, static_cast<int>(std::max<long long>(left.count(), 0))) != 1) return false;
    }
    return true;
}

bool RunningProgram::readTerminal(std::string& shown, int milliseconds) {
    if (terminal_ < 0) return false;
    pollfd p{terminal_, POLLIN, 0};
    if (poll(&p, 1, milliseconds) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(terminal_, buffer, sizeof buffer);
    if (n <= 0) return false;  // the program closed the terminal: it has ended
    shown.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::optional<ProgramEnd> RunningProgram::waitForExit(double seconds) {
    if (!started_ || ended_) return std::nullopt;
    ended_ = true;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) return endOf(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    return std::nullopt;
}

#endif

} // namespace testing_support
