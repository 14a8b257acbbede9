// The platform layer on Windows.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <thread>

#include "refhost/platform/ChildNotes.h"
#include "refhost/platform/CommandLine.h"
#include "refhost/platform/Platform.h"
#include "refhost/platform/WideText.h"

namespace refhost::platform {

namespace {

// The system's text for an error code, without its closing full stop and line end.
std::string systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = buffer ? narrow(buffer, length) : std::string();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "system error %lu", static_cast<unsigned long>(code));
        text = number;
    }
    return text;
}

std::string lastErrorText() { return systemText(GetLastError()); }

// A path for the system's calls: backslashes only.
std::wstring systemPath(const std::string& path) {
    std::wstring out = wide(path);
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

} // namespace

void* openLibrary(const std::string& path, bool keepLoaded, std::string& error) {
    // A name without a separator would be searched for on the DLL search path.
    const std::string openPath = lastSeparator(path) == std::string::npos ? ".\\" + path : path;
    // No dialog box for a file that is not a DLL; the error comes back here.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryExW(systemPath(openPath).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD code = GetLastError();
    SetErrorMode(previousMode);
    if (!library) {
        error = systemText(code);
        return nullptr;
    }
    if (keepLoaded) {
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(library), &pinned);
    }
    return library;
}

void* librarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

bool inLibraryOf(const void* anchor, const void* address) {
    constexpr DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    HMODULE a = nullptr, b = nullptr;
    return GetModuleHandleExW(flags, static_cast<LPCWSTR>(anchor), &a) &&
           GetModuleHandleExW(flags, static_cast<LPCWSTR>(address), &b) && a == b;
}

LibraryFormat libraryFormat() { return LibraryFormat::PortableExecutable; }

bool readMemory(const void* address, void* out, std::size_t size) {
    if (size == 0) return true;
    if (!address) return false;
    SIZE_T read = 0;
    return ReadProcessMemory(GetCurrentProcess(), address, out, size, &read) && read == size;
}

std::size_t allocationSize(const void* block) { return _msize(const_cast<void*>(block)); }

std::optional<std::size_t> heapInUse(std::string& whyNot) {
    whyNot.clear();
    std::size_t used = 0;
    _HEAPINFO entry{};
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY) used += entry._size;
    return used;
}

FileKind fileKind(const std::string& path, std::string& reason) {
    const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        reason = lastErrorText();
        return FileKind::Missing;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::Other;
    return FileKind::Regular;
}

int64_t fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(systemPath(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return -1;
    return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

namespace {

// A name beside `path` that no other file has yet.
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp-%lu-%u", static_cast<unsigned long>(GetCurrentProcessId()), counter++);
    return path + suffix;
}

} // namespace

bool folderWritable(const std::string& folder, std::string& reason) {
    // Windows has no cheap question for this: make a file there, and let it go.
    const std::string probe = temporaryName((folder.empty() ? std::string(".") : folder) + "\\.refhost-writable");
    HANDLE file = CreateFileW(systemPath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = lastErrorText();
        return false;
    }
    CloseHandle(file);
    return true;
}

bool replaceFile(const std::string& path, std::span<const uint8_t> bytes, std::string& reason) {
    const std::wstring temp = systemPath(temporaryName(path));
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = lastErrorText();
        return false;
    }
    bool written = true;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 30));
        DWORD n = 0;
        written = WriteFile(file, bytes.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    // On the disk before the rename, so that a crash right after it cannot
    // leave an empty or partial file under the output's name.
    written = written && FlushFileBuffers(file);
    DWORD error = written ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(file) && written) {
        written = false;
        error = GetLastError();
    }
    if (written &&
        !MoveFileExW(temp.c_str(), systemPath(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        written = false;
        error = GetLastError();
    }
    if (!written) {
        DeleteFileW(temp.c_str());
        reason = systemText(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
    }
    return written;
}

std::string programPath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return narrow(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

std::string withSystemSeparators(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

namespace {

// Matches `pattern` at `p` against `name` at `n`, as fnmatch with no flags:
// * any run of characters, ? one, [...] one of a class ([!...] or [^...]
// none of it, a-z a range), a backslash quotes the next character.
bool matchFrom(const std::string& pattern, std::size_t p, const std::string& name, std::size_t n) {
    while (p < pattern.size()) {
        const char c = pattern[p];
        if (c == '*') {
            while (p < pattern.size() && pattern[p] == '*') ++p;
            if (p == pattern.size()) return true;
            for (std::size_t from = n; from <= name.size(); ++from)
                if (matchFrom(pattern, p, name, from)) return true;
            return false;
        }
        if (n == name.size()) return false;
        if (c == '?') {
            ++p, ++n;
            continue;
        }
        if (c == '[') {
            std::size_t q = p + 1;
            const bool negated = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
            if (negated) ++q;
            bool found = false, closed = false;
            for (bool first = true; q < pattern.size(); first = false) {
                if (pattern[q] == ']' && !first) {
                    closed = true;
                    ++q;
                    break;
                }
                char low = pattern[q];
                if (low == '\\' && q + 1 < pattern.size()) low = pattern[++q];
                char high = low;
                if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
                    high = pattern[q + 2];
                    if (high == '\\' && q + 3 < pattern.size()) high = pattern[++q + 2];
                    q += 2;
                }
                const auto at = static_cast<unsigned char>(name[n]);
                if (static_cast<unsigned char>(low) <= at && at <= static_cast<unsigned char>(high)) found = true;
                ++q;
            }
            if (closed) {
                if (found == negated) return false;
                p = q, ++n;
                continue;
            }
            // An unclosed [ is an ordinary character.
        }
        char literal = c;
        if (c == '\\' && p + 1 < pattern.size()) literal = pattern[++p];
        if (name[n] != literal) return false;
        ++p, ++n;
    }
    return n == name.size();
}

} // namespace

bool nameMatches(const std::string& pattern, const std::string& name) { return matchFrom(pattern, 0, name, 0); }

// ---- UTF-8 outside, UTF-16 for the system ----

std::vector<std::string> commandArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> out;
    for (int i = 0; arguments && i < count; ++i) out.push_back(narrow(arguments[i], std::wcslen(arguments[i])));
    if (arguments) LocalFree(arguments);
    // Without them (no memory), the C runtime's as they are.
    if (out.empty()) out.assign(argv, argv + argc);
    return out;
}

std::FILE* openForReading(const std::string& path, std::string& reason) {
    std::FILE* file = _wfopen(systemPath(path).c_str(), L"rb");
    if (!file) reason = std::strerror(errno);
    return file;
}

char folderSeparator() { return '\\'; }

bool startsAtRoot(const std::string& path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

namespace {

// The console behind `stream`, or null when it goes to a file, a pipe or
// nowhere. Asked once per handle and thread: a trace prints a line per call.
HANDLE consoleOf(std::FILE* stream) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    thread_local HANDLE asked = INVALID_HANDLE_VALUE;
    thread_local bool console = false;
    if (handle != asked) {
        DWORD mode = 0;
        asked = handle;
        console = handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
    }
    return console ? handle : nullptr;
}

} // namespace

void writeText(std::FILE* stream, std::string_view text) {
    HANDLE console = consoleOf(stream);
    if (!console) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    // What the stream holds goes first; the console takes UTF-16 in pieces
    // of a bounded size, none ending inside a surrogate pair.
    std::fflush(stream);
    const std::wstring characters = wide(std::string(text));
    constexpr std::size_t kPiece = 4096;
    for (std::size_t done = 0; done < characters.size();) {
        std::size_t size = std::min(kPiece, characters.size() - done);
        if (size < characters.size() - done && IS_HIGH_SURROGATE(characters[done + size - 1])) --size;
        DWORD written = 0;
        if (!WriteConsoleW(console, characters.data() + done, static_cast<DWORD>(size), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

void print(std::FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char small[512];
    va_list again;
    va_copy(again, arguments);
    const int size = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (size >= 0 && static_cast<std::size_t>(size) < sizeof small) {
        writeText(stream, {small, static_cast<std::size_t>(size)});
    } else if (size >= 0) {
        std::string text(static_cast<std::size_t>(size) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
        writeText(stream, text);
    }
    va_end(again);
}

std::size_t pageSize() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void* reservePages(std::size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS); }

bool makeAccessible(void* at, std::size_t bytes) {
    DWORD previous = 0;
    return VirtualProtect(at, bytes, PAGE_READWRITE, &previous) != 0;
}

void releasePages(void* at, std::size_t) { VirtualFree(at, 0, MEM_RELEASE); }

bool isTerminal(std::FILE* stream) {
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

namespace {

void (*interruptHandler)(int) = nullptr;
// The exit status the last request asked for, while a handler is installed,
// and an event set with it that wakes runChild to end its child.
std::atomic<int> stopStatus{0};
HANDLE stopEvent = nullptr;

// The exit status for a console event, as the C runtime numbers the signals
// (SIGINT 2, SIGBREAK 21); a closed console is a terminal gone, SIGHUP's 1.
// 0 for the events a console program never sees.
int statusOfEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT: return 128 + 2;
    case CTRL_BREAK_EVENT: return 128 + 21;
    case CTRL_CLOSE_EVENT: return 128 + 1;
    default: return 0;
    }
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    const int status = statusOfEvent(event);
    if (status == 0) return FALSE;
    stopStatus = status;
    SetEvent(stopEvent);
    if (interruptHandler) interruptHandler(status);
    // The system ends the process once this returns from a close (or after
    // five seconds): the main thread has until then to end its children and
    // exit with its status.
    if (event == CTRL_CLOSE_EVENT) Sleep(4000);
    return TRUE;
}

// A check's child leaves every console event to its parent, which ends it:
// Ctrl-C and Ctrl-Break are not for it, and a closing console ends it when
// the parent does.
BOOL WINAPI leaveToParent(DWORD event) {
    if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}

} // namespace

void installInterruptHandler(void (*handler)(int)) {
    interruptHandler = handler;
    stopStatus = 0;
    if (!stopEvent) stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(stopEvent);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void removeInterruptHandler() {
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    interruptHandler = nullptr;
    stopStatus = 0;
    if (stopEvent) ResetEvent(stopEvent);
}

void endByInterrupt(int exitStatus) {
    std::fflush(stdout);
    std::fflush(stderr);
    // refhost's status for an interrupted run, as on Linux (a console
    // program that Ctrl-C ends would otherwise have 0xC000013A).
    ExitProcess(static_cast<UINT>(exitStatus));
}

// ---- a child process with a time limit ----
//
// The child is this program started again. Its standard output is a pipe that
// carries its result; its last note and what its fault handler saw go to a
// section of memory shared with the parent, whose handle the child inherits
// and finds in an environment variable, so that they survive its crash.

namespace {

constexpr wchar_t kNotesVariable[] = L"REFHOST_CHILD_NOTES";

ChildNotes* childNotes = nullptr;  // shared with the parent (a file mapping)
HANDLE parentChannel = INVALID_HANDLE_VALUE;
bool (*faultDescriber)(const void*, char*, std::size_t) = nullptr;

std::string exceptionName(DWORD code) {
    const char* name = nullptr;
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: name = "access violation"; break;
    case EXCEPTION_STACK_OVERFLOW: name = "stack overflow"; break;
    case EXCEPTION_ILLEGAL_INSTRUCTION: name = "illegal instruction"; break;
    case EXCEPTION_PRIV_INSTRUCTION: name = "privileged instruction"; break;
    case EXCEPTION_INT_DIVIDE_BY_ZERO: name = "integer division by zero"; break;
    case EXCEPTION_IN_PAGE_ERROR: name = "in-page error"; break;
    case EXCEPTION_DATATYPE_MISALIGNMENT: name = "misaligned data"; break;
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: name = "array bounds exceeded"; break;
    case EXCEPTION_BREAKPOINT: name = "breakpoint"; break;
    case STATUS_HEAP_CORRUPTION: name = "heap corruption"; break;
    case STATUS_STACK_BUFFER_OVERRUN: name = "stack buffer overrun"; break;
    default: break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
    return name ? std::string(text) + " (" + name + ")" : std::string(text);
}

// Notes where a fault hit and ends the process with the exception's code,
// before the system would offer a debugger.
LONG WINAPI noteFault(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (childNotes) {
        const void* address = record->ExceptionAddress;
        if ((record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION || record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
            record->NumberParameters >= 2)
            address = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
        childNotes->noteFault(address, faultDescriber);
    }
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

HANDLE inheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!handle || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// The job every child is put in. refhost holds its only handle, which the
// system closes however refhost ends, and the job's children end with it.
HANDLE childJob() {
    static const HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (created && !SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(created);
            created = nullptr;
        }
        return created;
    }();
    return job;
}

// Starts the child suspended, so that it runs no code outside the job. Its
// own process group keeps Ctrl-C from it: the parent ends it.
BOOL startInJob(std::wstring& line, STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP,
                        nullptr, nullptr, &startup, &process))
        return FALSE;
    // Where refhost's own job allows no job inside it, the child runs untied.
    if (HANDLE job = childJob()) AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    return TRUE;
}

enum class Waited { Ended, TimedOut, Stopped };

// Waits for the child's end, its time limit or a request to stop.
Waited waitForChild(HANDLE process, double milliseconds) {
    HANDLE handles[] = {process, stopEvent};
    const DWORD waited = WaitForMultipleObjects(stopEvent ? 2 : 1, handles, FALSE,
                                                static_cast<DWORD>(std::min(milliseconds, 4.0e9)));
    if (waited == WAIT_OBJECT_0) return Waited::Ended;
    return waited == WAIT_OBJECT_0 + 1 ? Waited::Stopped : Waited::TimedOut;
}

} // namespace

ChildEnd runChild(const ChildTask& task, double timeoutSeconds) {
    ChildEnd end;
    if (stopStatus) {
        end.how = ChildEnd::How::Stopped;
        return end;
    }
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherited, PAGE_READWRITE, 0, sizeof(ChildNotes), nullptr);
    auto* notes = section ? static_cast<ChildNotes*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(ChildNotes)))
                          : nullptr;
    // Two pipes: the child's standard output (its result), and its standard input.
    HANDLE readEnd = nullptr, writeEnd = nullptr, inputRead = nullptr, inputWrite = nullptr;
    if (!notes || !CreatePipe(&readEnd, &writeEnd, &inherited, 0) ||
        !CreatePipe(&inputRead, &inputWrite, &inherited, static_cast<DWORD>(task.input.size()))) {
        end.why = lastErrorText();
        for (HANDLE handle : {readEnd, writeEnd})
            if (handle) CloseHandle(handle);
        if (notes) UnmapViewOfFile(notes);
        if (section) CloseHandle(section);
        return end;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
    notes->clear();

    std::wstring line;
    appendArgument(line, wide(programPath()));
    for (const std::string& argument : task.arguments) appendArgument(line, wide(argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = writeEnd;
    startup.hStdError = inheritableCopy(GetStdHandle(STD_ERROR_HANDLE));
    wchar_t sectionText[32];
    std::swprintf(sectionText, 32, L"%lu", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(section)));
    SetEnvironmentVariableW(kNotesVariable, sectionText);
    std::fflush(stdout);
    std::fflush(stderr);
    PROCESS_INFORMATION process{};
    const BOOL started = startInJob(line, startup, process);
    const DWORD startError = GetLastError();
    SetEnvironmentVariableW(kNotesVariable, nullptr);
    CloseHandle(writeEnd);
    CloseHandle(inputRead);
    if (startup.hStdError) CloseHandle(startup.hStdError);
    if (!started) {
        CloseHandle(readEnd);
        CloseHandle(inputWrite);
        UnmapViewOfFile(notes);
        CloseHandle(section);
        end.why = systemText(startError);
        return end;
    }
    CloseHandle(process.hThread);

    // The input is written and the result read while the child runs: a
    // child must not wait on a pipe while the parent waits for it to end.
    // (A child that ends, or is ended, breaks the pipes: neither thread stays.)
    std::thread writer([&] {
        std::size_t done = 0;
        DWORD n = 0;
        while (done < task.input.size() &&
               WriteFile(inputWrite, task.input.data() + done, static_cast<DWORD>(task.input.size() - done), &n, nullptr) &&
               n > 0)
            done += n;
        CloseHandle(inputWrite);
    });
    std::thread reader([&] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) end.sent.append(buffer, n);
    });
    const Waited waited = waitForChild(process.hProcess, timeoutSeconds * 1000.0);
    const bool timedOut = waited == Waited::TimedOut, stopped = waited == Waited::Stopped;
    if (timedOut || stopped) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    reader.join();
    writer.join();
    CloseHandle(readEnd);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);

    notes->read(end.note, end.fault);
    UnmapViewOfFile(notes);
    CloseHandle(section);
    if (stopped) {
        end.how = ChildEnd::How::Stopped;
    } else if (timedOut) {
        end.how = ChildEnd::How::TimedOut;
    } else if ((status & 0xF0000000u) == 0xC0000000u) {
        // An error status: the process ended by an exception.
        end.how = ChildEnd::How::Crashed;
        end.why = exceptionName(status);
    } else {
        end.how = ChildEnd::How::Exited;
        end.exitStatus = static_cast<int>(status);
    }
    return end;
}

void becomeChild(bool (*describeFault)(const void*, char*, std::size_t)) {
    // The result goes to the parent on standard output as it was; whatever
    // the module prints goes to standard error.
    std::fflush(stdout);
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &parentChannel, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    wchar_t sectionText[32];
    if (GetEnvironmentVariableW(kNotesVariable, sectionText, 32) > 0) {
        const auto section = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::wcstoul(sectionText, nullptr, 10)));
        childNotes = static_cast<ChildNotes*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(ChildNotes)));
        SetEnvironmentVariableW(kNotesVariable, nullptr);
    }
    faultDescriber = describeFault;
    SetConsoleCtrlHandler(leaveToParent, TRUE);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(noteFault);
}

void sendToParent(const std::string& bytes) {
    HANDLE channel = parentChannel != INVALID_HANDLE_VALUE ? parentChannel : GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!WriteFile(channel, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) || n == 0)
            return;
        done += n;
    }
}

void setChildNote(const std::string& text) {
    if (childNotes) childNotes->note(text);
}

void endChild(bool exitWork) {
    std::fflush(stdout);
    std::fflush(stderr);
    // Without the exit-time work: not even the DLLs' detach, which ExitProcess runs.
    if (!exitWork) TerminateProcess(GetCurrentProcess(), 0);
    std::exit(0);
}

} // namespace refhost::platform
