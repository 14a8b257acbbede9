// The platform layer on Linux.
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <link.h>
#include <malloc.h>
#include <poll.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <clocale>
#include <iterator>
#include <mutex>

#include "refhost/platform/ChildNotes.h"
#include "refhost/platform/FaultText.h"
#include "refhost/platform/Platform.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace refhost::platform {

std::vector<std::string> commandArguments(int argc, char** argv) { return {argv, argv + argc}; }

void* openLibrary(const std::string& path, bool keepLoaded, std::string& error) {
    // A name without a slash would be searched for on the library path.
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* library = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL | (keepLoaded ? RTLD_NODELETE : 0));
    if (!library) {
        const char* why = dlerror();
        error = why ? why : "unknown error";
    }
    return library;
}

void* librarySymbol(void* library, const char* name) {
    dlerror();
    return dlsym(library, name);
}

void closeLibrary(void* library) { dlclose(library); }

bool inLibraryOf(const void* anchor, const void* address) {
    Dl_info a{}, b{};
    return dladdr(anchor, &a) && dladdr(address, &b) && a.dli_fbase && a.dli_fbase == b.dli_fbase;
}

LibraryFormat libraryFormat() { return LibraryFormat::Elf; }

bool readMemory(const void* address, void* out, std::size_t size) {
    if (size == 0) return true;
    if (!address) return false;
    iovec local{out, size};
    iovec remote{const_cast<void*>(address), size};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

std::size_t allocationSize(const void* block) { return malloc_usable_size(const_cast<void*>(block)); }

std::optional<std::size_t> heapInUse(std::string& whyNot) {
    whyNot.clear();
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();  // the sanitizer has an allocator of its own
#elif defined(__GLIBC__)
    // uordblks leaves out the blocks glibc maps on their own (every block above
    // the mmap threshold, 128 KiB at first); hblkhd holds them. Without it a
    // leak of 256 KiB a call would hardly show. Chunks in the per-thread cache
    // count as in use.
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    whyNot = "this build of refhost cannot count the heap in use (it knows glibc's and AddressSanitizer's counts)";
    return std::nullopt;
#endif
}

// glibc checks the blocks it is handed back and aborts on a double free.
void watchLibraryFrees() {}

std::string heapMisuse() { return {}; }

// ---- what a module may not change ----

const char* const kThreadsProperty = "the number of threads";

namespace {

std::string addressText(const void* address) {
    char text[24];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

std::string dispositionText(const struct sigaction& action) {
    if (action.sa_flags & SA_SIGINFO) return "a handler at " + addressText(reinterpret_cast<const void*>(action.sa_sigaction));
    if (action.sa_handler == SIG_DFL) return "the default";
    if (action.sa_handler == SIG_IGN) return "ignored";
    return "a handler at " + addressText(reinterpret_cast<const void*>(action.sa_handler));
}

// The numbers that name the entries of a /proc folder, in ascending order,
// without the descriptor that reads the folder.
std::vector<long> numberedEntries(const char* folder) {
    std::vector<long> numbers;
    DIR* dir = opendir(folder);
    if (!dir) return numbers;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && number != own) numbers.push_back(number);
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

} // namespace

std::vector<ProcessProperty> processProperties() {
    std::vector<ProcessProperty> properties;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP) continue;
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0) continue;  // one the C library keeps for itself
        const char* abbreviation = sigabbrev_np(signal);
        const std::string name = abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
        properties.push_back({name + "'s disposition", dispositionText(action)});
    }
    const char* locale = std::setlocale(LC_ALL, nullptr);
    properties.push_back({"the C locale", locale ? std::string("\"") + locale + "\"" : "none"});
    char folder[PATH_MAX];
    properties.push_back({"the working folder", getcwd(folder, sizeof folder) ? folder : std::strerror(errno)});
    for (char** variable = environ; variable && *variable; ++variable) {
        const char* equals = std::strchr(*variable, '=');
        const std::string name = equals ? std::string(*variable, static_cast<std::size_t>(equals - *variable)) : *variable;
        properties.push_back({"the environment variable " + name, equals ? std::string("\"") + (equals + 1) + "\"" : ""});
    }
    properties.push_back({kThreadsProperty, std::to_string(numberedEntries("/proc/self/task").size())});
    // "7 (0-4, 10, 251)": the count, then the numbers, runs as ranges.
    const std::vector<long> descriptors = numberedEntries("/proc/self/fd");
    std::string open = std::to_string(descriptors.size());
    for (std::size_t i = 0; i < descriptors.size();) {
        std::size_t last = i;
        while (last + 1 < descriptors.size() && descriptors[last + 1] == descriptors[last] + 1) ++last;
        open += (i ? ", " : " (") + std::to_string(descriptors[i]) +
                (last > i ? "-" + std::to_string(descriptors[last]) : "");
        i = last + 1;
    }
    properties.push_back({"the open file descriptors", open + (descriptors.empty() ? "" : ")")});
    return properties;
}

FileKind fileKind(const std::string& path, std::string& reason) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return FileKind::Missing;
    }
    if (S_ISREG(info.st_mode)) return FileKind::Regular;
    if (S_ISDIR(info.st_mode)) return FileKind::Folder;
    return FileKind::Other;
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool folderWritable(const std::string& folder, std::string& reason) {
    if (access(folder.c_str(), W_OK) == 0) return true;
    reason = std::strerror(errno);
    return false;
}

namespace {

bool writeAll(int fd, std::span<const uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool replaceFile(const std::string& path, std::span<const uint8_t> bytes, std::string& reason) {
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    // mkstemp creates the file private; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    // Synced before the rename, so that a crash right after it cannot leave
    // an empty or partial file under the output's name.
    bool written = writeAll(fd, bytes) && fchmod(fd, 0666 & ~mask) == 0 && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && std::rename(temp.c_str(), path.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temp.c_str());
        reason = std::strerror(error);
    }
    return written;
}

std::FILE* openForReading(const std::string& path, std::string& reason) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) reason = std::strerror(errno);
    return file;
}

std::string programPath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

char folderSeparator() { return '/'; }

bool startsAtRoot(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::size_t lastSeparator(const std::string& path) { return path.rfind('/'); }

std::string withSystemSeparators(std::string path) { return path; }

bool nameMatches(const std::string& pattern, const std::string& name) {
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

std::size_t pageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

void* reservePages(std::size_t bytes) {
    void* at = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : at;
}

bool makeAccessible(void* at, std::size_t bytes) { return mprotect(at, bytes, PROT_READ | PROT_WRITE) == 0; }

void releasePages(void* at, std::size_t bytes) { munmap(at, bytes); }

bool isTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

// A terminal takes UTF-8 as it is.
void writeText(std::FILE* stream, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stream); }

void print(std::FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
}

namespace {

// The signals that ask refhost to stop, and what they were before the handler.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[std::size(kStopSignals)] = {};

void (*interruptHandler)(int) = nullptr;
// The exit status the last request asked for, while a handler is installed;
// runChild ends its child when it is set.
volatile std::sig_atomic_t stopStatus = 0;

void onSignal(int signal) {
    stopStatus = 128 + signal;
    if (interruptHandler) interruptHandler(128 + signal);
}

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) sigaddset(&set, signal);
    return set;
}

} // namespace

void installInterruptHandler(void (*handler)(int)) {
    interruptHandler = handler;
    stopStatus = 0;
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_mask = stopSignalSet();  // one request at a time
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
        sigaction(kStopSignals[i], nullptr, &previousActions[i]);
        // Started with it ignored (nohup, a background job): so it stays.
        if (previousActions[i].sa_handler != SIG_IGN) sigaction(kStopSignals[i], &action, nullptr);
    }
}

void removeInterruptHandler() {
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &previousActions[i], nullptr);
    interruptHandler = nullptr;
    stopStatus = 0;
}

void endByInterrupt(int exitStatus) {
    // Called from the handler, where the signal is blocked: let it through
    // with its default action, so that refhost ends by it.
    const int signal = exitStatus - 128;
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
    _exit(exitStatus);
}

// ---- the code a fault hit in ----
//
// Found from a fault handler, so with system calls only: no allocation and
// no loader lock (which the faulting code may hold). The mapping comes from
// /proc/self/maps, the symbol from the file's own symbol table.

namespace {

// Reads /proc/self/maps a line at a time into a fixed buffer.
class MapsLines {
public:
    MapsLines() : fd_(open("/proc/self/maps", O_RDONLY | O_CLOEXEC)) {}
    ~MapsLines() {
        if (fd_ >= 0) close(fd_);
    }
    MapsLines(const MapsLines&) = delete;
    MapsLines& operator=(const MapsLines&) = delete;

    // The next line without its line end, cut to the buffer; null at the end.
    char* next() {
        std::size_t length = 0;
        for (;;) {
            if (at_ == have_) {
                const ssize_t n = fd_ < 0 ? 0 : read(fd_, chunk_, sizeof chunk_);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                have_ = static_cast<std::size_t>(n);
                at_ = 0;
            }
            const char c = chunk_[at_++];
            if (c == '\n') break;
            if (length + 1 < sizeof line_) line_[length++] = c;
        }
        line_[length] = '\0';
        return length || at_ < have_ ? line_ : nullptr;
    }

private:
    int fd_;
    char chunk_[4096];
    std::size_t have_ = 0, at_ = 0;
    char line_[PATH_MAX + 128];
};

uintptr_t hexField(const char*& p) {
    uintptr_t value = 0;
    for (;; ++p) {
        const char c = *p;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return value;
        value = value << 4 | static_cast<uintptr_t>(digit);
    }
}

// One line of the maps: "start-end perms offset dev inode path".
struct Mapping {
    uintptr_t start = 0, end = 0, offset = 0;
    const char* path = "";
};

Mapping parseMapping(const char* p) {
    Mapping m;
    m.start = hexField(p);
    if (*p == '-') ++p;
    m.end = hexField(p);
    for (int field = 0; field < 4 && *p; ++field) {  // to the offset, then past it, the device and the inode
        while (*p == ' ') ++p;
        if (field == 1) {
            m.offset = hexField(p);
            continue;
        }
        while (*p && *p != ' ') ++p;
    }
    while (*p == ' ') ++p;
    m.path = p;
    return m;
}

void copyText(char* out, std::size_t size, const char* text) {
    FaultText(out, size).put(text);
}

// The file whose mapping holds `pc`, and where that file's first byte is
// mapped; false where no file is mapped there.
bool mappedFile(uintptr_t pc, char* path, std::size_t pathSize, uintptr_t& base) {
    MapsLines lines;
    char firstPath[PATH_MAX] = "";
    uintptr_t firstStart = 0;
    while (const char* line = lines.next()) {
        const Mapping m = parseMapping(line);
        if (m.offset == 0 && *m.path) {
            copyText(firstPath, sizeof firstPath, m.path);
            firstStart = m.start;
        }
        if (pc < m.start || pc >= m.end) continue;
        if (*m.path != '/') return false;
        copyText(path, pathSize, m.path);
        base = std::strcmp(m.path, firstPath) == 0 ? firstStart : m.start - m.offset;
        return true;
    }
    return false;
}

bool readAt(int fd, void* out, std::size_t size, uint64_t offset) {
    return pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// The function symbol nearest below `offset` (from the file's first byte as
// mapped) in the ELF file at `path`: from its full symbol table, else from
// its dynamic one. False where there is none.
bool nearestSymbol(const char* path, uintptr_t offset, char* name, std::size_t nameSize, uintptr_t& fromSymbol) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool found = false;
    ElfW(Ehdr) header;
    if (readAt(fd, &header, sizeof header, 0) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_ident[EI_CLASS] == (sizeof(void*) == 4 ? ELFCLASS32 : ELFCLASS64) &&
        header.e_shentsize == sizeof(ElfW(Shdr)) && header.e_phentsize == sizeof(ElfW(Phdr))) {
        // The symbols hold link-time addresses: the first loaded segment's
        // address, less its file offset, is the file's first byte.
        uintptr_t linkBase = 0;
        for (unsigned i = 0; i < header.e_phnum; ++i) {
            ElfW(Phdr) segment;
            if (!readAt(fd, &segment, sizeof segment, header.e_phoff + uint64_t{i} * sizeof segment)) break;
            if (segment.p_type == PT_LOAD) {
                linkBase = segment.p_vaddr - segment.p_offset;
                break;
            }
        }
        const uintptr_t address = linkBase + offset;
        ElfW(Shdr) table{}, names{};
        for (unsigned i = 0; i < header.e_shnum; ++i) {
            ElfW(Shdr) section;
            if (!readAt(fd, &section, sizeof section, header.e_shoff + uint64_t{i} * sizeof section)) break;
            if (section.sh_type == SHT_SYMTAB || (section.sh_type == SHT_DYNSYM && table.sh_type != SHT_SYMTAB))
                table = section;
        }
        if (table.sh_type != SHT_NULL && table.sh_entsize == sizeof(ElfW(Sym)) &&
            readAt(fd, &names, sizeof names, header.e_shoff + uint64_t{table.sh_link} * sizeof names)) {
            ElfW(Sym) best{};
            ElfW(Sym) chunk[64];
            const std::size_t count = table.sh_size / sizeof(ElfW(Sym));
            for (std::size_t first = 0; first < count; first += std::size(chunk)) {
                const std::size_t n = std::min(std::size(chunk), count - first);
                if (!readAt(fd, chunk, n * sizeof(ElfW(Sym)), table.sh_offset + first * sizeof(ElfW(Sym)))) break;
                for (std::size_t k = 0; k < n; ++k) {
                    const ElfW(Sym)& s = chunk[k];
                    const int type = ELF32_ST_TYPE(s.st_info);
                    if ((type != STT_FUNC && type != STT_GNU_IFUNC) || s.st_shndx == SHN_UNDEF || s.st_value > address)
                        continue;
                    if (!found || s.st_value > best.st_value) best = s, found = true;
                }
            }
            if (found) {
                const ssize_t n = pread(fd, name, nameSize - 1, static_cast<off_t>(names.sh_offset + best.st_name));
                name[n > 0 ? n : 0] = '\0';
                found = name[0] != '\0';
                fromSymbol = address - best.st_value;
            }
        }
    }
    close(fd);
    return found;
}

// " in name.p+0x1a3b (symbol+0x10)" for the code at `pc`.
void describeCode(uintptr_t pc, FaultText& out) {
    char path[PATH_MAX];
    uintptr_t base = 0;
    if (!mappedFile(pc, path, sizeof path, base)) {
        out.put(" by a jump to ").hex(pc, 8).put(", where no code is");
        return;
    }
    char symbol[256];
    uintptr_t fromSymbol = 0;
    const bool named = nearestSymbol(path, pc - base, symbol, sizeof symbol, fromSymbol);
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    if (std::strcmp(self, path) == 0) {
        out.put(" in refhost's own code");
        if (named) out.put(" (").put(symbol).put("+").hex(fromSymbol).put(")");
        return;
    }
    const char* slash = std::strrchr(path, '/');
    out.location(slash ? slash + 1 : path, pc - base, named ? symbol : nullptr, fromSymbol);
}

uintptr_t faultingInstruction(void* context) {
    const mcontext_t& registers = static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__i386__)
    return static_cast<uintptr_t>(registers.gregs[REG_EIP]);
#elif defined(__x86_64__)
    return static_cast<uintptr_t>(registers.gregs[REG_RIP]);
#else
    return 0;
#endif
}

std::string signalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    const char* description = strsignal(signal);
    std::string name = abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
    if (description) name += std::string(" (") + description + ")";
    return name;
}

// ---- faults caught ----

struct FaultCatch {
    sigjmp_buf jump;
    int signal = 0;
    char where[1024];
};

thread_local FaultCatch* activeCatch = nullptr;  // this thread's innermost runCatchingFaults
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction previousFaultActions[std::size(kFaultSignals)];

void onFault(int signal, siginfo_t* info, void* context) {
    FaultCatch* const caught = activeCatch;
    if (!caught) {
        // Not under runCatchingFaults: as without this handler.
        for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
            if (kFaultSignals[i] != signal) continue;
            const struct sigaction& previous = previousFaultActions[i];
            if (previous.sa_flags & SA_SIGINFO) return previous.sa_sigaction(signal, info, context);
            if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) return previous.sa_handler(signal);
        }
        std::signal(signal, SIG_DFL);  // the instruction faults again, and the process ends by the signal
        return;
    }
    activeCatch = nullptr;  // a fault while describing this one ends the process
    caught->signal = signal;
    FaultText where(caught->where, sizeof caught->where);
    if (signal == SIGSEGV || signal == SIGBUS)
        where.put("at address ").hex(reinterpret_cast<uintptr_t>(info->si_addr), 8);
    describeCode(faultingInstruction(context), where);
    siglongjmp(caught->jump, 1);
}

// The handler runs on a stack of its own, so that it also runs when the code
// ran out of stack. Each thread needs its own.
void ensureAlternateStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
    struct AlternateStack {
        void* memory = nullptr;
        AlternateStack() {
            constexpr std::size_t kBytes = 64 * 1024;
            memory = std::malloc(kBytes);
            stack_t stack{};
            stack.ss_sp = memory;
            stack.ss_size = kBytes;
            if (memory && sigaltstack(&stack, nullptr) != 0) {
                std::free(memory);
                memory = nullptr;
            }
        }
        ~AlternateStack() {
            if (!memory) return;
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
            std::free(memory);
        }
    };
    thread_local AlternateStack own;
}

} // namespace

std::optional<Fault> runCatchingFaults(const std::function<void()>& body) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kFaultSignals); ++i)
            sigaction(kFaultSignals[i], &action, &previousFaultActions[i]);
    });
    ensureAlternateStack();
    FaultCatch caught;
    struct Restore {
        FaultCatch* outer;
        ~Restore() { activeCatch = outer; }
    } restore{activeCatch};
    if (sigsetjmp(caught.jump, 1) == 0) {
        activeCatch = &caught;
        body();
        return std::nullopt;
    }
    const char* where = caught.where[0] == ' ' ? caught.where + 1 : caught.where;
    return Fault{signalName(caught.signal), readableSymbols(where)};
}

void endNow(int status) {
    std::fflush(stdout);
    std::fflush(ownOutput());
    std::fflush(stderr);
    _exit(status);
}

namespace {

// In a child just forked: the stop signals end it as they would end any
// program, and it dies with its parent, even one killed outright. A parent
// that died before the tie was made is not there to end it: it ends at once.
void tieToParent(pid_t parent, const sigset_t& mask) {
    for (const int signal : kStopSignals) {
        struct sigaction current {};
        sigaction(signal, nullptr, &current);
        if (current.sa_handler == onSignal) std::signal(signal, SIG_DFL);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}

// A file with no name in the temporary folder, open for reading and
// writing, gone when its last descriptor closes; -1 when none can be made.
int anonymousFile() {
    const char* folder = std::getenv("TMPDIR");
    const std::string dir = folder && *folder ? folder : "/tmp";
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string name = dir + "/refhost-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
    return fd;
}

// At most `limit` bytes of the file from `offset`; `end` is the file's size.
std::string readFrom(int fd, std::size_t offset, std::size_t limit, std::size_t& end) {
    struct stat info {};
    end = fstat(fd, &info) == 0 ? static_cast<std::size_t>(info.st_size) : offset;
    std::string text(std::min(limit, end > offset ? end - offset : 0), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

ChildNotes* childNotes = nullptr;  // shared with the parent (mmap)
int parentChannel = -1;
bool (*faultDescriber)(const void*, char*, std::size_t) = nullptr;

// Notes where a fault hit, then lets it happen again with the default action,
// so that the parent still sees the signal.
void noteFault(int, siginfo_t* info, void* context) {
    if (!childNotes) return;
    char location[768];
    FaultText code(location, sizeof location);
    describeCode(faultingInstruction(context), code);
    childNotes->noteFault(info->si_addr, location, faultDescriber);
}

void writeText(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

ChildEnd runChild(const ChildTask& task, double timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    ChildEnd end;
    if (stopStatus) {
        end.how = ChildEnd::How::Stopped;
        return end;
    }
    int fds[2];
    auto* notes = static_cast<ChildNotes*>(
        mmap(nullptr, sizeof(ChildNotes), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (notes == MAP_FAILED || pipe2(fds, O_CLOEXEC) != 0) {
        if (notes != MAP_FAILED) munmap(notes, sizeof(ChildNotes));
        end.why = std::strerror(errno);
        return end;
    }
    notes->clear();
    // What the child prints, the module's output among it, goes to a file
    // that outlives the child however it ends.
    const int printed = anonymousFile();
    std::fflush(stdout);
    std::fflush(stderr);
    // From here the stop signals wait, and are let through only in ppoll,
    // so that no request slips in between a look at the flag and the wait.
    const sigset_t stops = stopSignalSet();
    sigset_t mask;
    sigprocmask(SIG_BLOCK, &stops, &mask);
    const pid_t parent = getpid();
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        tieToParent(parent, mask);
        close(fds[0]);
        // The child's standard output is the pipe (becomeChild keeps it for the result).
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        if (printed >= 0) {
            dup2(printed, STDERR_FILENO);
            close(printed);
        }
        childNotes = notes;
        task.body();
        endChild(false);
    }
    close(fds[1]);
    if (pid < 0) {
        end.why = std::strerror(errno);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        close(fds[0]);
        if (printed >= 0) close(printed);
        munmap(notes, sizeof(ChildNotes));
        return end;
    }

    // Read until the pipe closes, at the child's end or before its exit-time
    // work; then wait for the end, until the time is up.
    auto after = [](Clock::time_point from, double seconds) {
        return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    Clock::time_point deadline = after(start, timeoutSeconds);
    bool timedOut = false, reaped = false;
    int status = 0;
    long long pause = 1;  // milliseconds between looks at a child that closed the pipe
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (stopStatus) break;
        if (end.closedChannel) {
            const pid_t waited = waitpid(pid, &status, WNOHANG);
            if (waited == pid || (waited < 0 && errno != EINTR)) {
                reaped = waited == pid;
                break;
            }
            const long long wait = std::min(left, pause);
            pause = std::min(pause * 2, 20LL);
            const timespec waitTime{0, static_cast<long>(wait) * 1000000L};
            ppoll(nullptr, 0, &waitTime, &mask);
            continue;
        }
        pollfd waiting{fds[0], POLLIN, 0};
        const auto wait = std::min<long long>(left, 1000);
        const timespec waitTime{static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000L};
        const int ready = ppoll(&waiting, 1, &waitTime, &mask);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            end.closedChannel = true;
            if (task.exitSeconds >= 0) deadline = std::min(deadline, after(Clock::now(), task.exitSeconds));
            continue;
        }
        end.sent.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    const bool stopped = stopStatus != 0;
    if (timedOut || stopped) kill(pid, SIGKILL);
    while (!reaped && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (printed >= 0) {
        end.printed = readFrom(printed, 0, ChildEnd::kPrintedKept, end.printedBytes);
        close(printed);
    }
    notes->read(end.note, end.fault);
    end.fault = readableSymbols(end.fault);
    munmap(notes, sizeof(ChildNotes));
    if (stopped) {
        end.how = ChildEnd::How::Stopped;
    } else if (timedOut) {
        end.how = ChildEnd::How::TimedOut;
    } else if (WIFSIGNALED(status)) {
        end.how = ChildEnd::How::Crashed;
        end.why = signalName(WTERMSIG(status));
    } else {
        end.how = ChildEnd::How::Exited;
        end.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    }
    return end;
}

void becomeChild(bool (*describeFault)(const void*, char*, std::size_t)) {
    // The report on the parent's standard output stays the parent's; whatever
    // the module prints goes to standard error.
    parentChannel = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    faultDescriber = describeFault;
    static char alternateStack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = noteFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
}

void sendToParent(const std::string& bytes) { writeText(parentChannel >= 0 ? parentChannel : STDOUT_FILENO, bytes); }

void setChildNote(const std::string& text) {
    if (childNotes) childNotes->note(text);
}

void endChild(bool exitWork) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (!exitWork) _exit(0);
    // The parent waits through the exit-time work, as long as it allows.
    if (parentChannel >= 0) close(parentChannel);
    parentChannel = -1;
    std::exit(0);
}

namespace {

std::FILE* ownStream = nullptr;
int setAside = -1;             // the file standard output goes to
std::size_t setAsideRead = 0;  // how much of it takeSetAsideOutput has handed back

} // namespace

void setOutputAside() {
    if (ownStream) return;
    std::fflush(stdout);
    const int file = anonymousFile();
    const int original = file < 0 ? -1 : fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    std::FILE* stream = original < 0 ? nullptr : fdopen(original, "w");
    if (!stream || dup2(file, STDOUT_FILENO) < 0) {
        if (stream)
            std::fclose(stream);
        else if (original >= 0)
            close(original);
        if (file >= 0) close(file);
        return;
    }
    ownStream = stream;
    setAside = file;
}

std::FILE* ownOutput() { return ownStream ? ownStream : stdout; }

std::string takeSetAsideOutput(std::size_t limit, std::size_t& more) {
    more = 0;
    if (setAside < 0) return {};
    std::fflush(stdout);
    std::size_t end = 0;
    std::string text = readFrom(setAside, setAsideRead, limit, end);
    more = end - setAsideRead - text.size();
    setAsideRead = end;
    return text;
}

} // namespace refhost::platform
