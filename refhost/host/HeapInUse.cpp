#include "refhost/host/HeapInUse.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer has an allocator of its own
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace refhost {

std::optional<std::size_t> heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    // uordblks leaves out the blocks glibc maps on their own, hblkhd holds them:
    // without it a leak of 256 KiB a call would not show at all.
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return std::nullopt;
#endif
}

const char* heapInUseUnavailable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__GLIBC__)
    return "";
#else
    return "this build of refhost cannot count the heap in use (it knows glibc's mallinfo2 and the sanitizers' count)";
#endif
}

} // namespace refhost
