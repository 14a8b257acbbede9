// A module entry that crashed: which entry, which fault, where it hit. The
// drivers name the entry each thread is in (EntryInProgress); a command runs
// its module work under catchModuleFault and reports what comes back instead
// of dying by the signal, then ends at once: the module is not called again.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "refhost/platform/Platform.h"

namespace refhost {

// For as long as it lives, this thread is in the module entry `entry`
// ("process", "startup"), or in other module code said in words ("static
// constructors"). A fault abandons it: catchModuleFault puts the
// outer one back.
class EntryInProgress {
public:
    explicit EntryInProgress(const char* entry) : outer_(current) { current = entry; }
    ~EntryInProgress() { current = outer_; }
    EntryInProgress(const EntryInProgress&) = delete;
    EntryInProgress& operator=(const EntryInProgress&) = delete;

    static thread_local const char* current;  // null outside every entry

private:
    const char* outer_;
};

struct ModuleFault {
    std::string entry;  // empty: the fault hit outside every module entry
    platform::Fault fault;

    // "the module crashed in its process entry: SIGSEGV (Segmentation fault):
    // at address 0x00000000 in name.p+0x1a3b (function+0x10)"
    std::string text() const;
};

// Runs `work`, and returns the fault that ended it, if one did.
std::optional<ModuleFault> catchModuleFault(const std::function<void()>& work);

} // namespace refhost
