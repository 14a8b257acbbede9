#include "refhost/image/OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "refhost/platform/Platform.h"

namespace refhost {

bool checkWritable(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "no output file given";
        return false;
    }
    std::string reason;
    if (platform::fileKind(path, reason) == platform::FileKind::Folder) {
        error = path + ": is a folder";
        return false;
    }
    const std::size_t slash = platform::lastSeparator(path);
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (!platform::folderWritable(folder, reason)) {
        error = path + ": cannot write into " + folder + ": " + reason;
        return false;
    }
    return true;
}

bool writeFileAtomically(const std::string& path, const std::string& what, std::span<const uint8_t> bytes,
                         std::string& error) {
    std::string reason;
    if (platform::replaceFile(path, bytes, reason)) return true;
    error = path + ": cannot write " + what + ": " + reason;
    return false;
}

bool standardOutputWritten() {
    std::FILE* out = platform::ownOutput();
    if (std::fflush(out) == 0 && !std::ferror(out)) return true;
    if (errno != EPIPE) std::fprintf(stderr, "refhost: cannot write standard output: %s\n", std::strerror(errno));
    return false;
}

} // namespace refhost
