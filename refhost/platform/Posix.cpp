// The platform layer on Linux.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "refhost/platform/Platform.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace refhost::platform {

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

std::string programPath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::size_t pageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

void* reservePages(std::size_t bytes) {
    void* at = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : at;
}

bool makeAccessible(void* at, std::size_t bytes) { return mprotect(at, bytes, PROT_READ | PROT_WRITE) == 0; }

void releasePages(void* at, std::size_t bytes) { munmap(at, bytes); }

bool isTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

namespace {

void (*interruptHandler)() = nullptr;
struct sigaction previousAction {};

void onSignal(int) {
    if (interruptHandler) interruptHandler();
}

} // namespace

void installInterruptHandler(void (*handler)()) {
    interruptHandler = handler;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousAction);
}

void removeInterruptHandler() { sigaction(SIGINT, &previousAction, nullptr); }

void endByInterrupt() {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    _exit(130);
}

} // namespace refhost::platform
