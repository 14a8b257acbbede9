#include "refhost/render/BoundedFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace refhost {

bool readBoundedFile(const std::string& path, int64_t maxBytes, const std::string& what, std::string& text,
                     std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": not a file";
        return false;
    }
    if (static_cast<int64_t>(info.st_size) > maxBytes) {
        error = path + ": " + std::to_string(static_cast<int64_t>(info.st_size)) + " bytes; refhost reads " + what +
                " of at most " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    text.assign(static_cast<std::size_t>(info.st_size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return true;
}

} // namespace refhost
