// The floating-point settings of the thread that calls a module: the x87
// control word (precision and rounding of the x87 unit, on which the 32-bit C
// library's pow runs) and MXCSR (rounding, flush-to-zero and
// denormals-are-zero of SSE arithmetic). The host sets its own before it calls
// a module entry and expects them back when the entry returns; refhost puts
// its defaults back after every module call, so that its own code always runs
// with them. (The host functions a module calls inside an entry run with
// whatever the module set, as they would in a host.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/FloatingPointSettings.h"

namespace refhost {

using host::kDefaultMxcsr;
using host::kDefaultX87Control;
using host::kMxcsrExceptionFlags;
using host::setX87ControlWord;
using host::x87ControlWord;

// The bits of the x87 control word that are settings: the six exception
// masks (0-5), precision control (8-9) and rounding control (10-11). Bit 6
// reads as 1 whatever was loaded, bit 12 (infinity control) does nothing on
// anything newer than an 80287.
inline constexpr uint16_t kX87SettingBits = 0x0F3F;

struct FloatingPointState {
    uint16_t x87Control = kDefaultX87Control;
    uint32_t mxcsr = kDefaultMxcsr;

    // The same settings; MXCSR's exception flags are ignored.
    bool sameSettings(const FloatingPointState& other) const {
        return (x87Control & kX87SettingBits) == (other.x87Control & kX87SettingBits) &&
               (mxcsr & ~kMxcsrExceptionFlags) == (other.mxcsr & ~kMxcsrExceptionFlags);
    }
};

uint32_t mxcsr();
void setMxcsr(uint32_t word);

FloatingPointState currentFloatingPoint();
void setFloatingPoint(const FloatingPointState& state);

// After a module call: reads the settings the module left and puts the
// defaults back when they differ. Returns what the module left.
FloatingPointState restoreDefaultFloatingPoint();

// The first module code that left other settings than it was called with
// (and after which DefaultFloatingPointAfter put the defaults back): a check
// that looks later still sees what the module did.
struct SettingsLeft {
    std::string entry;  // "create", "static constructors"
    FloatingPointState set, left;
};
// Takes the note, leaving none; empty when no module code left other settings.
std::optional<SettingsLeft> takeSettingsLeft();

// Puts the defaults back when it goes out of scope: declared before a module
// call, it restores them after the call, also after a returned value has been
// computed. Where the call left other settings than it began with, the first
// such call is noted for takeSettingsLeft, under the name `entry`, or else
// the entry this thread was in (EntryInProgress) when it was made.
class DefaultFloatingPointAfter {
public:
    explicit DefaultFloatingPointAfter(const char* entry = nullptr);
    DefaultFloatingPointAfter(const DefaultFloatingPointAfter&) = delete;
    DefaultFloatingPointAfter& operator=(const DefaultFloatingPointAfter&) = delete;
    ~DefaultFloatingPointAfter();

private:
    FloatingPointState set_;
    const char* entry_;
};

// "0x027f (53-bit precision, rounding to nearest)"; unmasked exceptions are named too.
std::string x87ControlText(uint16_t word);
// "0x9f80 (rounding to nearest, flush-to-zero)", the exception flags cleared.
std::string mxcsrText(uint32_t word);
// Empty when `found` has the settings of `set`; else what changed, e.g.
// "the x87 control word 0x027f (53-bit precision, rounding to nearest) where the host set 0x037f (...)".
std::string settingsChange(const FloatingPointState& set, const FloatingPointState& found);

} // namespace refhost
