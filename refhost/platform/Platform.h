// What refhost asks of the operating system, in one place: loading a module,
// reading memory that may not be there, files, guard pages, the console,
// Ctrl-C and the other requests to stop, child processes. One implementation
// per system (Posix.cpp, Windows.cpp); the rest of refhost uses only this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// printf's checks of a format, with the C library's own format rules.
#if defined(__MINGW_PRINTF_FORMAT)
#define REFHOST_PRINTF(formatAt, firstAt) __attribute__((format(__MINGW_PRINTF_FORMAT, formatAt, firstAt)))
#else
#define REFHOST_PRINTF(formatAt, firstAt) __attribute__((format(printf, formatAt, firstAt)))
#endif

namespace refhost::platform {

// Text is UTF-8 throughout refhost: arguments, paths, names and messages.
// Where the system's own calls take another form (Windows: UTF-16), this
// layer converts.

// ---- the command line ----

// The program's arguments, its own name first: on Windows read from the
// system's UTF-16 command line (argc and argv hold them in the ANSI code page,
// where a name's letters can be lost), elsewhere argv's bytes as they are.
std::vector<std::string> commandArguments(int argc, char** argv);

// ---- modules ----

// Opens the library at `path` (a path as the user gave it: a bare name means
// the current folder, never a search path). `keepLoaded` keeps it mapped after
// closeLibrary, as a host keeps its modules until it ends. Null with the
// system's text in `error` when it does not load.
void* openLibrary(const std::string& path, bool keepLoaded, std::string& error);
void* librarySymbol(void* library, const char* name);  // null when not exported
// The file format of this system's libraries.
enum class LibraryFormat { Elf, PortableExecutable };
LibraryFormat libraryFormat();
void closeLibrary(void* library);
// Whether `address` lies in the image (code, constants, static data) of the
// loaded library that also holds `anchor`: such memory lasts as long as the
// library stays loaded.
bool inLibraryOf(const void* anchor, const void* address);

// Copies `size` bytes from `address` into `out` without faulting: false where
// any of them is not readable memory of this process.
bool readMemory(const void* address, void* out, std::size_t size);

// The bytes the heap block at `block` (from malloc) can hold.
std::size_t allocationSize(const void* block);
// The bytes this process holds on the heap now, the module's and refhost's
// alike: a count to compare with an earlier one in the same process, not an
// exact figure. Empty where this system or build cannot count them, with why
// in `whyNot`. Posix.cpp: glibc's count of the main arena plus the blocks
// mapped on their own, or AddressSanitizer's when its allocator is in use;
// Windows.cpp: the C runtime's heap, walked.
std::optional<std::size_t> heapInUse(std::string& whyNot);

// Watches the C runtime's free as the libraries opened from now on call it:
// a block that no heap of the process holds as allocated (freed before, or
// never allocated) is not handed on, and the first such call is kept, with
// the child's note at the time, for heapMisuse. Where the C library notices
// such a free itself and ends the process (glibc), this does nothing.
void watchLibraryFrees();
// What the watched frees have found since the last call, and any heap of the
// process that fails the system's validation; empty when all is well or the
// system offers neither.
std::string heapMisuse();

// ---- what a module may not change ----

// One property of the process that every module must leave as it found it,
// in words: its name ("the working folder", "SIGINT's disposition") and its
// value ("/home/me", "ignored"). Two snapshots are compared by name; a
// property one snapshot has and the other lacks (an environment variable set
// or unset) is a difference too.
struct ProcessProperty {
    std::string name;
    std::string value;
};
// The properties of this process the system has: Posix.cpp the disposition of
// every catchable signal, the C locale, the working folder, the environment,
// the threads (/proc/self/task) and the open file descriptors (/proc/self/fd);
// Windows.cpp the C locale, the working folder, the environment, the threads
// (a Toolhelp snapshot) and the open handles (GetProcessHandleCount, where the
// system counts them: not under Wine). The
// floating-point settings are not the system's: the caller adds them.
std::vector<ProcessProperty> processProperties();
// The name of the property that counts the process's threads: a thread that
// is ending may be counted for a moment after it was joined, so a caller
// looks again before it calls a higher count a difference.
extern const char* const kThreadsProperty;

// ---- files ----

enum class FileKind { Missing, Regular, Folder, Other };
// What is at `path`; for Missing, the system's reason in `reason`.
FileKind fileKind(const std::string& path, std::string& reason);
// The size of the regular file at `path`, or -1.
int64_t fileSize(const std::string& path);
// Whether files can be created in `folder`; otherwise the system's reason.
bool folderWritable(const std::string& folder, std::string& reason);

// Writes `bytes` to a new temporary file beside `path`, checks every write,
// syncs it to the disk, closes it, and only then puts it in place of `path`.
// On any failure the temporary file is gone, `path` is as it was, and
// `reason` holds the system's text ("No space left on device").
bool replaceFile(const std::string& path, std::span<const uint8_t> bytes, std::string& reason);

// Opens the file at `path` for reading bytes; null with the C library's
// reason in `reason` when it cannot.
std::FILE* openForReading(const std::string& path, std::string& reason);

// The running program's own file.
std::string programPath();

// The separator the system writes between folders: '/', on Windows '\\'.
char folderSeparator();

// Whether `path` starts at a root ('/'; on Windows also '\\' or a drive,
// "C:"), rather than in the current folder or one a file names it from.
bool startsAtRoot(const std::string& path);

// Where the last folder separator in `path` is, or npos: '/', and on Windows
// '\\' as well.
std::size_t lastSeparator(const std::string& path);
// `path` with every folder separator in this system's style, so that a path
// refhost prints has one: on Windows each '/' becomes '\\'; elsewhere the
// path is returned as it is ('\\' is part of a name there).
std::string withSystemSeparators(std::string path);

// Whether `name` matches the shell pattern `pattern` (* ? and [...] classes).
bool nameMatches(const std::string& pattern, const std::string& name);

// ---- guard pages ----

std::size_t pageSize();
// `bytes` (a multiple of the page size) of address space, none of it accessible; null on failure.
void* reservePages(std::size_t bytes);
bool makeAccessible(void* at, std::size_t bytes);  // read and write
void releasePages(void* at, std::size_t bytes);

// ---- console ----

bool isTerminal(std::FILE* stream);
// Writes `text` (UTF-8) to `stream`: on a console as the characters it
// spells, wherever else the stream goes as its bytes.
void writeText(std::FILE* stream, std::string_view text);
// printf through writeText: for every line that may hold a name or a path.
void print(std::FILE* stream, const char* format, ...) REFHOST_PRINTF(2, 3);

// ---- requests to stop ----

// Ctrl-C asks refhost to stop, and so do SIGTERM (a job cancelled) and SIGHUP
// (its terminal gone) on Linux, Ctrl-Break and the console's closing on
// Windows. While a handler is installed, each request calls `handler` with
// the exit status it asks for, 128 + the signal's number: 130 Ctrl-C, 143
// SIGTERM, 129 SIGHUP and a closed console, 149 Ctrl-Break (SIGBREAK is 21).
// It runs on a signal or a console thread, so it may only set a flag. A
// request also ends the child that runChild waits for. A signal that was
// ignored when refhost started stays ignored. The previous handling comes
// back with removeInterruptHandler.
void installInterruptHandler(void (*handler)(int exitStatus));
void removeInterruptHandler();
// Ends the program as the request that asked for `exitStatus` would have
// without a handler.
[[noreturn]] void endByInterrupt(int exitStatus);

// ---- faults ----

// A hardware fault that hit while code ran: which, and where.
struct Fault {
    std::string what;   // "SIGSEGV (Segmentation fault)", "exception 0xC0000005 (access violation)"
    std::string where;  // "at address 0x00000000 in name.p+0x1a3b (function+0x10)"
};

// Runs `body` on this thread. A hardware fault on this thread while it runs
// (a bad memory access, a bad instruction, an integer division by zero)
// abandons `body` where it hit and comes back as a Fault instead of ending
// the process. The abandoned frames' destructors do not run and locks they
// held stay held: the caller reports and ends the process (endNow).
std::optional<Fault> runCatchingFaults(const std::function<void()>& body);

// Ends the process with `status` once standard output and error are flushed,
// without the exit-time work: no static destructors, no module's unloading.
[[noreturn]] void endNow(int status);

// ---- a child process with a time limit ----

// What a child process does. Where the system can copy the running process
// (Linux), the copy runs `body`; where it cannot (Windows), this program is
// started again with `arguments` (after the program's name) and `input` on
// its standard input, and must then call `body`'s equivalent itself.
struct ChildTask {
    std::function<void()> body;
    std::vector<std::string> arguments;
    std::string input;
    // Seconds the child has to end once it has closed its channel to the
    // parent (endChild with the exit-time work does, first); negative: as long
    // as its time limit allows.
    double exitSeconds = -1;
};

struct ChildEnd {
    enum class How { Exited, Crashed, TimedOut, Stopped, NotStarted };
    How how = How::NotStarted;
    int exitStatus = 0;  // Exited
    std::string why;     // Crashed: the signal or exception; NotStarted: the system's text
    std::string sent;    // everything the child passed to sendToParent
    std::string note;    // the child's last setChildNote, kept through a crash
    std::string fault;   // where a fault hit: the child's describer's words, then the code it hit in
    // The channel closed within the time limit: the child ended, or began
    // its exit-time work (endChild).
    bool closedChannel = false;
    // What the process printed on its standard output and error besides what
    // it sent: the first kPrintedKept bytes of them, and how many there were.
    std::string printed;
    std::size_t printedBytes = 0;
    static constexpr std::size_t kPrintedKept = 4096;
};

// Runs `task` in a child process and waits for its end, killing it after
// `timeoutSeconds`, or at once on a request to stop (Stopped; after one, no
// child starts). A child ends with refhost however refhost ends: on Linux it
// dies with its parent, on Windows with the job it is put in.
ChildEnd runChild(const ChildTask& task, double timeoutSeconds);

// In the child. becomeChild keeps standard output for sendToParent and sends
// whatever else the process prints, on standard output and error alike, to
// what runChild hands back as ChildEnd::printed; from then on a fault is
// noted before the process dies, with `describeFault` naming its address
// (false: the plain address), and the code it hit in named as Fault::where
// names it.
void becomeChild(bool (*describeFault)(const void* address, char* out, std::size_t size));
void sendToParent(const std::string& bytes);
void setChildNote(const std::string& text);
// Ends the child: with the exit-time work (static destructors, a module's
// unloading) or without it. Before the exit-time work it closes the channel,
// so that the parent can tell that work from what came before.
[[noreturn]] void endChild(bool exitWork);

// ---- a module's output ----

// A module shares the process's standard output with refhost, and what it
// prints there would mix with refhost's own, which a script may parse.
// setOutputAside points standard output (file descriptor 1; on Windows also
// the system's standard output handle, for modules with a C runtime of their
// own) at a temporary file, and makes ownOutput a stream on where it went
// before, for refhost's own output. Nothing is set aside when the system
// refuses: ownOutput stays stdout.
void setOutputAside();
// The stream refhost's own standard output goes to: stdout until setOutputAside.
std::FILE* ownOutput();
// What was printed on the standard output set aside since the last call
// (stdout flushed first), at most `limit` bytes of it; `more` counts the rest.
std::string takeSetAsideOutput(std::size_t limit, std::size_t& more);

} // namespace refhost::platform
