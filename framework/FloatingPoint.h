// The module computes under the settings of host/FloatingPointSettings.h. A
// host thread may run the x87 unit at 53- or 24-bit precision or with another
// rounding mode, or SSE with flush-to-zero: the C library's pow follows the
// x87 settings and the module's own double arithmetic follows MXCSR. Every
// entry that computes holds a FloatingPointGuard, which sets the module's
// settings for the call and gives the host back its own on the way out,
// whichever way that is.
#pragma once

#include <xmmintrin.h>

#include <cstdint>

#include "host/FloatingPointSettings.h"

namespace velorastin {

class FloatingPointGuard {
public:
    FloatingPointGuard() noexcept : hostControl_(host::x87ControlWord()), hostMxcsr_(_mm_getcsr()) {
        if (hostControl_ != host::kDefaultX87Control) host::setX87ControlWord(host::kDefaultX87Control);
        if (mxcsrDiffers()) _mm_setcsr(host::kDefaultMxcsr | (hostMxcsr_ & host::kMxcsrExceptionFlags));
    }
    // The host's settings come back; exception flags raised meanwhile stay raised.
    ~FloatingPointGuard() {
        if (hostControl_ != host::kDefaultX87Control) host::setX87ControlWord(hostControl_);
        if (mxcsrDiffers()) _mm_setcsr(hostMxcsr_ | (_mm_getcsr() & host::kMxcsrExceptionFlags));
    }
    FloatingPointGuard(const FloatingPointGuard&) = delete;
    FloatingPointGuard& operator=(const FloatingPointGuard&) = delete;

private:
    bool mxcsrDiffers() const { return (hostMxcsr_ & ~host::kMxcsrExceptionFlags) != host::kDefaultMxcsr; }

    const uint16_t hostControl_;
    const uint32_t hostMxcsr_;
};

} // namespace velorastin
