// The floating-point settings the module computes under. A host thread may run
// the x87 unit at 53- or 24-bit precision or with another rounding mode, or
// SSE with flush-to-zero: the C library's pow follows the x87 settings and the
// module's own double arithmetic follows MXCSR. Every entry that computes
// holds a FloatingPointGuard, which sets the module's settings for the call
// and gives the host back its own on the way out, whichever way that is.
#pragma once

#include <xmmintrin.h>

#include <cstdint>

namespace velorastin {

// x87: 64-bit precision, round to nearest, every exception masked.
inline constexpr uint16_t kModuleX87Control = 0x037F;
// SSE: round to nearest, no flush-to-zero, no denormals-are-zero, every
// exception masked, no sticky flag.
inline constexpr uint32_t kModuleMxcsr = 0x1F80;
// MXCSR's six sticky exception flags: status, not settings.
inline constexpr uint32_t kMxcsrFlags = 0x003F;

inline uint16_t x87Control() noexcept {
    uint16_t word;
    asm volatile("fnstcw %0" : "=m"(word) : : "memory");
    return word;
}

inline void setX87Control(uint16_t word) noexcept { asm volatile("fldcw %0" : : "m"(word) : "memory"); }

class FloatingPointGuard {
public:
    FloatingPointGuard() noexcept : hostControl_(x87Control()), hostMxcsr_(_mm_getcsr()) {
        if (hostControl_ != kModuleX87Control) setX87Control(kModuleX87Control);
        if ((hostMxcsr_ & ~kMxcsrFlags) != kModuleMxcsr) _mm_setcsr(kModuleMxcsr | (hostMxcsr_ & kMxcsrFlags));
    }
    // The host's settings come back; exception flags raised meanwhile stay raised.
    ~FloatingPointGuard() {
        if (hostControl_ != kModuleX87Control) setX87Control(hostControl_);
        if ((hostMxcsr_ & ~kMxcsrFlags) != kModuleMxcsr) _mm_setcsr(hostMxcsr_ | (_mm_getcsr() & kMxcsrFlags));
    }
    FloatingPointGuard(const FloatingPointGuard&) = delete;
    FloatingPointGuard& operator=(const FloatingPointGuard&) = delete;

private:
    const uint16_t hostControl_;
    const uint32_t hostMxcsr_;
};

} // namespace velorastin
