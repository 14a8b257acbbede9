#include "refhost/render/BoundedFile.h"

#include <cstdio>

#include "refhost/platform/Platform.h"

namespace refhost {

bool readBoundedFile(const std::string& path, int64_t maxBytes, const std::string& what, std::string& text,
                     std::string& error) {
    std::string reason;
    const platform::FileKind kind = platform::fileKind(path, reason);
    if (kind == platform::FileKind::Missing) {
        error = path + ": cannot open: " + reason;
        return false;
    }
    const int64_t size = kind == platform::FileKind::Regular ? platform::fileSize(path) : -1;
    if (size < 0) {
        error = path + ": not a file";
        return false;
    }
    if (size > maxBytes) {
        error = path + ": " + std::to_string(size) + " bytes; refhost reads " + what + " of at most " +
                std::to_string(maxBytes) + " bytes";
        return false;
    }
    std::FILE* in = platform::openForReading(path, reason);
    if (!in) {
        error = path + ": cannot open: " + reason;
        return false;
    }
    text.assign(static_cast<std::size_t>(size), '\0');
    text.resize(std::fread(text.data(), 1, text.size(), in));
    std::fclose(in);
    return true;
}

} // namespace refhost
