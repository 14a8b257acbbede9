// Bytes the test program holds on the heap now, for tests that something was
// given back. glibc counts the chunks it keeps in its per-thread cache as in
// use, so compare with a margin of a few kilobytes, not exactly.
#pragma once

#include <malloc.h>

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer has an allocator of its own
#endif

namespace inproc {

inline std::size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

} // namespace inproc
