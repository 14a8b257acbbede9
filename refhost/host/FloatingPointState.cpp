#include "refhost/host/FloatingPointState.h"

#include <xmmintrin.h>

#include <cstdio>
#include <mutex>
#include <utility>

#include "refhost/host/ModuleFault.h"

namespace refhost {

uint32_t mxcsr() { return _mm_getcsr(); }

void setMxcsr(uint32_t word) { _mm_setcsr(word); }

FloatingPointState currentFloatingPoint() { return {x87ControlWord(), mxcsr()}; }

void setFloatingPoint(const FloatingPointState& state) {
    setX87ControlWord(state.x87Control);
    setMxcsr(state.mxcsr);
}

FloatingPointState restoreDefaultFloatingPoint() {
    const FloatingPointState found = currentFloatingPoint();
    if (!found.sameSettings(FloatingPointState{})) setFloatingPoint(FloatingPointState{});
    return found;
}

namespace {
std::mutex settingsLeftMutex;
std::optional<SettingsLeft> firstSettingsLeft;  // guarded by settingsLeftMutex
} // namespace

std::optional<SettingsLeft> takeSettingsLeft() {
    const std::lock_guard<std::mutex> lock(settingsLeftMutex);
    return std::exchange(firstSettingsLeft, std::nullopt);
}

DefaultFloatingPointAfter::DefaultFloatingPointAfter(const char* entry)
    : set_(currentFloatingPoint()), entry_(entry ? entry : EntryInProgress::current) {}

DefaultFloatingPointAfter::~DefaultFloatingPointAfter() {
    const FloatingPointState left = restoreDefaultFloatingPoint();
    if (left.sameSettings(set_)) [[likely]]
        return;
    const std::lock_guard<std::mutex> lock(settingsLeftMutex);
    if (!firstSettingsLeft) firstSettingsLeft = SettingsLeft{entry_ ? entry_ : "a module entry", set_, left};
}

namespace {

const char* const kRoundings[] = {"rounding to nearest", "rounding down", "rounding up", "rounding toward zero"};

// The exceptions whose mask bits (in the order invalid, denormal, zero
// divide, overflow, underflow, precision) are clear, as ", X unmasked".
std::string unmasked(uint32_t masks) {
    static const char* const names[] = {"invalid", "denormal", "zero-divide", "overflow", "underflow", "precision"};
    std::string text;
    for (int i = 0; i < 6; ++i)
        if (!(masks & (1u << i))) text += std::string(text.empty() ? "" : "/") + names[i];
    return text.empty() ? text : ", " + text + " exceptions unmasked";
}

std::string hexWord(uint32_t word) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%04x", word);
    return buffer;
}

} // namespace

std::string x87ControlText(uint16_t word) {
    static const char* const precisions[] = {"24-bit precision", "reserved precision 01", "53-bit precision",
                                             "64-bit precision"};
    return hexWord(word) + " (" + precisions[(word >> 8) & 3] + ", " + kRoundings[(word >> 10) & 3] + unmasked(word) +
           ")";
}

std::string mxcsrText(uint32_t word) {
    word &= ~kMxcsrExceptionFlags;
    std::string text = hexWord(word) + " (" + kRoundings[(word >> 13) & 3];
    if (word & 0x8000) text += ", flush-to-zero";
    if (word & 0x0040) text += ", denormals-are-zero";
    return text + unmasked(word >> 7) + ")";
}

std::string settingsChange(const FloatingPointState& set, const FloatingPointState& found) {
    std::string change;
    if ((set.x87Control & kX87SettingBits) != (found.x87Control & kX87SettingBits))
        change = "the x87 control word " + x87ControlText(found.x87Control) + " where the host set " +
                 x87ControlText(set.x87Control);
    if ((set.mxcsr & ~kMxcsrExceptionFlags) != (found.mxcsr & ~kMxcsrExceptionFlags))
        change += (change.empty() ? "" : "; ") + std::string("MXCSR ") + mxcsrText(found.mxcsr) + " where the host set " +
                  mxcsrText(set.mxcsr);
    return change;
}

} // namespace refhost
