#include "refhost/image/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace refhost {

bool checkWritable(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "no output file given";
        return false;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = path + ": is a folder";
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (access(folder.c_str(), W_OK) != 0) {
        error = path + ": cannot write into " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
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

bool writeFileAtomically(const std::string& path, const std::string& what, std::span<const uint8_t> bytes,
                         std::string& error) {
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = path + ": cannot write " + what + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp creates the file private; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    // Synced before the rename, so that a crash right after it cannot leave
    // an empty or partial file under the output's name.
    bool written = writeAll(fd, bytes) && fchmod(fd, 0666 & ~mask) == 0 && fsync(fd) == 0;
    int reason = errno;
    if (close(fd) != 0 && written) {
        written = false;
        reason = errno;
    }
    if (written && std::rename(temp.c_str(), path.c_str()) != 0) {
        written = false;
        reason = errno;
    }
    if (!written) {
        unlink(temp.c_str());
        error = path + ": cannot write " + what + ": " + std::strerror(reason);
    }
    return written;
}

bool standardOutputWritten() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    if (errno != EPIPE) std::fprintf(stderr, "refhost: cannot write standard output: %s\n", std::strerror(errno));
    return false;
}

} // namespace refhost
