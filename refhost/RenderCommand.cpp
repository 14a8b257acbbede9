#include <cstdio>

#include "refhost/Commands.h"

namespace refhost {

int runRender(const RenderOptions&) {
    std::fprintf(stderr, "refhost render: not available in this build\n");
    return 2;
}

} // namespace refhost
