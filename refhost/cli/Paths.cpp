#include <unistd.h>

#include <climits>
#include <string>

#include "refhost/cli/Commands.h"

namespace refhost {

std::string defaultModulePath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "pluginServer.p";
    std::string exe(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/pluginServer.p";
}

} // namespace refhost
