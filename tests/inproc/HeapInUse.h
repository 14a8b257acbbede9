// Bytes the test program holds on the heap now, for tests that something was
// given back: refhost's count, which is not exact (glibc counts the chunks in
// its per-thread cache as in use), so compare with a margin of a few
// kilobytes. A test calls INPROC_SKIP_UNLESS_HEAP_COUNTED() before its first count.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>

#include "refhost/platform/Platform.h"

namespace inproc {

inline std::size_t heapInUse() {
    std::string whyNot;
    return refhost::platform::heapInUse(whyNot).value_or(0);
}

} // namespace inproc

// Skips the test where this build cannot count the heap.
#define INPROC_SKIP_UNLESS_HEAP_COUNTED()                                     \
    do {                                                                      \
        std::string whyNot;                                                   \
        if (!refhost::platform::heapInUse(whyNot)) GTEST_SKIP() << whyNot;    \
    } while (false)
