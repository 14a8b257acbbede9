// The clock and the summary every benchmark here uses.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// Seconds on the steady clock.
inline double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// The middle value of interleaved runs: one slow run (another job on the machine) moves it least.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace bench
