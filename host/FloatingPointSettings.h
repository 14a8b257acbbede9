// The floating-point settings a module computes under and a host calls with
// by default: the x87 control word (precision and rounding of the x87 unit,
// on which the 32-bit C libraries' pow runs) and MXCSR (rounding,
// flush-to-zero and denormals-are-zero of SSE arithmetic). Reading and setting
// the x87 word takes one instruction each; MXCSR has the compiler's
// intrinsics (_mm_getcsr, _mm_setcsr). The same source builds with MinGW-w64.
#pragma once

#include <cstdint>

namespace host {

// x87: every exception masked, 64-bit precision, rounding to nearest (the
// state after FNINIT, and what Linux gives a process).
inline constexpr uint16_t kDefaultX87Control = 0x037F;
// SSE: every exception masked, rounding to nearest, no flush-to-zero, no
// denormals-are-zero, no exception flag raised.
inline constexpr uint32_t kDefaultMxcsr = 0x1F80;
// MXCSR bits 0-5 are sticky exception flags: status, not settings.
inline constexpr uint32_t kMxcsrExceptionFlags = 0x003F;

inline uint16_t x87ControlWord() noexcept {
    uint16_t word;
    asm volatile("fnstcw %0" : "=m"(word) : : "memory");
    return word;
}

inline void setX87ControlWord(uint16_t word) noexcept { asm volatile("fldcw %0" : : "m"(word) : "memory"); }

} // namespace host
