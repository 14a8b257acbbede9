#include <cstdio>

#include "refhost/Commands.h"

namespace refhost {

int runCheck(const CheckOptions&) {
    std::fprintf(stderr, "refhost check: not available in this build\n");
    return 2;
}

} // namespace refhost
