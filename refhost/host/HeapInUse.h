// How many bytes this process holds on the heap: the one place that knows
// how to ask, so that a port to another system swaps this file only.
#pragma once

#include <cstddef>
#include <optional>

namespace refhost {

// The bytes allocated and not yet freed, by the module and by refhost alike,
// or nothing where this build cannot count them (heapInUseUnavailable() says
// why). Under AddressSanitizer its own allocator's count; with glibc the
// bytes in use in the main arena plus those of blocks mapped on their own
// (every block above the mmap threshold, 128 KiB at first). A count to
// compare with an earlier one in the same process, not an exact figure:
// glibc counts the chunks in its per-thread cache as in use.
std::optional<std::size_t> heapInUse();
const char* heapInUseUnavailable();

} // namespace refhost
