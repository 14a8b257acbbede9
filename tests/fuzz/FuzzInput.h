// Decodes a fuzzer's bytes into values; once the bytes run out every read
// gives zero, so any input is a complete case.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace fuzzing {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - used_; }

    uint8_t byte() { return used_ < size_ ? data_[used_++] : 0; }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<uint32_t>(byte()) << (8 * i);
        return w;
    }
    bool flag() { return byte() & 1; }

    // Mostly values that matter at boundaries (zero, unit, the 1e-7 distance,
    // not-a-number, infinities, subnormals, huge values); sometimes raw bits.
    double number() {
        static const double palette[] = {
            0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-7, 5e-8, 0.999, 0.9999, 10.0, -10.0,
            std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 1e-300, 0.217637640824031,
        };
        constexpr std::size_t kPalette = sizeof palette / sizeof palette[0];
        const uint8_t choice = byte();
        if (choice < kPalette * 8) return palette[choice % kPalette];
        double raw;
        uint8_t bytes[8];
        take(bytes, 8);
        std::memcpy(&raw, bytes, 8);
        return raw;
    }

    void take(void* out, std::size_t n) {
        auto* p = static_cast<uint8_t*>(out);
        for (std::size_t i = 0; i < n; ++i) p[i] = byte();
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};

// A broken property: report and stop, so the fuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

} // namespace fuzzing
