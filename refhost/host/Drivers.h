// Binding one server row and driving its instances through the handler table
// only, as a host does. With a Trace attached, every entry call is recorded
// with its arguments and result; without one the calls go straight through.
// After every entry call the host's default floating-point settings are back
// in force, whatever the entry left. Every entry is called through the
// trampoline of EntryCall.h: one that returns with the stack pointer moved
// throws EntryFault, which names it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/HandlerTables.h"
#include "refhost/host/EntryCall.h"
#include "refhost/host/FloatingPointState.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/host/ModuleFault.h"
#include "refhost/host/Trace.h"

namespace refhost {

// A word no module writes by accident: handler tables are pre-filled with it
// so that what an activation left alone can be told from what it filled.
inline constexpr uint32_t kTableSentinel = 0xDEADBEEFu;

// Byte offsets of the table slots below `end` that an activation left null or
// as the sentinel.
template <class Table>
std::vector<std::size_t> unfilledSlots(const Table& table, std::size_t end = sizeof(Table)) {
    std::vector<std::size_t> unfilled;
    for (std::size_t offset = 0; offset < end; offset += 4) {
        uint32_t word;
        std::memcpy(&word, reinterpret_cast<const char*>(&table) + offset, sizeof word);
        if (word == 0 || word == kTableSentinel) unfilled.push_back(offset);
    }
    return unfilled;
}

// The name of the entry at byte `offset` of a handler table, as its record
// calls it; a report gives names, which a module author can look up.
template <class Table>
const char* entryName(std::size_t offset) {
    using T = Table;
    using Entry = std::pair<std::size_t, const char*>;
    const Entry shared[] = {{offsetof(T, create), "create"}, {offsetof(T, destroy), "destroy"},
                            {offsetof(T, copy), "copy"},     {offsetof(T, load), "load"},
                            {offsetof(T, save), "save"},     {offsetof(T, flags), "flags"},
                            {offsetof(T, describe), "describe"}};
    for (const auto& [at, name] : shared)
        if (at == offset) return name;
    if constexpr (std::is_same_v<T, host::ShaderHandler>) {
        const Entry own[] = {{offsetof(T, init), "init"},
                             {offsetof(T, cleanup), "cleanup"},
                             {offsetof(T, newTime), "newTime"},
                             {offsetof(T, evaluate), "evaluate"}};
        for (const auto& [at, name] : own)
            if (at == offset) return name;
    } else if (offset == offsetof(T, process)) {
        return "process";
    }
    return "no entry";
}

// Entries by name and byte offset: "copy (8), load (12)".
template <class Table>
std::string entryList(const std::vector<std::size_t>& offsets) {
    std::string list;
    for (const std::size_t offset : offsets)
        list += (list.empty() ? "" : ", ") + std::string(entryName<Table>(offset)) + " (" + std::to_string(offset) + ")";
    return list;
}

// The words the host keeps right after every handler table it hands out: an
// activation that writes one has written past the table's last entry, into
// memory of the host's.
inline constexpr uint32_t kTableGuard = 0x6A4D0F1Eu;
inline constexpr std::size_t kTableGuardWords = 4;

// A handler table with guard words after its last entry, as the host hands it out.
template <class Table>
struct GuardedTable {
    Table table;
    uint32_t guard[kTableGuardWords];

    // The table's slots to the sentinel, the guard words to the guard.
    void fill() {
        auto* words = reinterpret_cast<uint32_t*>(&table);
        for (std::size_t i = 0; i < sizeof(Table) / 4; ++i) words[i] = kTableSentinel;
        for (uint32_t& word : guard) word = kTableGuard;
    }
    // Byte offsets, from the table's start, of the guard words no longer as the host wrote them.
    std::vector<std::size_t> writtenGuards() const {
        std::vector<std::size_t> written;
        for (std::size_t i = 0; i < kTableGuardWords; ++i)
            if (guard[i] != kTableGuard) written.push_back(sizeof(Table) + 4 * i);
        return written;
    }
    // Empty when no guard word was written, else which were and what they
    // hold now: "offset 44 (now 0xf7f492c0)".
    std::string overrun() const {
        std::string words;
        for (const std::size_t offset : writtenGuards()) {
            char word[48];
            std::snprintf(word, sizeof word, "offset %zu (now 0x%08x)", offset, guard[(offset - sizeof(Table)) / 4]);
            words += (words.empty() ? "" : ", ") + std::string(word);
        }
        return words;
    }
};
static_assert(offsetof(GuardedTable<host::ShaderHandler>, guard) == sizeof(host::ShaderHandler));
static_assert(offsetof(GuardedTable<host::ImageFilterHandler>, guard) == sizeof(host::ImageFilterHandler));

template <class Table>
class HandlerDriver {
public:
    explicit HandlerDriver(const ServerRow& serverRow) : row(serverRow) { handed_.fill(); }
    HandlerDriver(const HandlerDriver&) = delete;
    HandlerDriver& operator=(const HandlerDriver&) = delete;

    // Fills the table with the sentinel and its guard words with the guard,
    // then runs the row's activation with the host's lookup. Returns the
    // activation's result.
    int32_t activate(int32_t version, void* serverData = nullptr) {
        handed_.fill();
        return enter(
            "activate",
            [&] {
                return std::vector<std::string>{formatArg(version), "GlobalLookup", "handler table",
                                                formatArg(static_cast<const void*>(serverData))};
            },
            [&] {
                return callEntry("activate", row.activate, version,
                                 trace ? Trace::lookupFunction() : Host::lookupFunction(), &table, serverData);
            },
            [](int32_t result) { return formatArg(result); });
    }

    // Activates with interface version 2 before the server is put to work.
    // Returns empty when the row bound and filled every entry, else why the
    // server cannot be used: an entry left empty is one a host would jump
    // into and crash, a write past the table one into the host's memory.
    std::string bindForUse() {
        if (const int32_t result = activate(2); result != 0)
            return "\"" + row.serverName + "\" refused activation with interface version 2 (result " +
                   std::to_string(result) + ")";
        return bindingProblem();
    }

    // After an activation that answered 0: empty when it filled every entry
    // and wrote nothing past the table, else what is wrong.
    std::string bindingProblem() const {
        if (const std::string words = handed_.overrun(); !words.empty())
            return "\"" + row.serverName + "\" wrote past the end of its " + std::to_string(sizeof(Table)) +
                   "-byte handler table when activated: the host's memory at " + words;
        return emptyEntries();
    }

    // After an activation that answered 0: empty when it filled every entry,
    // else which ones it left empty.
    std::string emptyEntries() const {
        const std::vector<std::size_t> unfilled = unfilledSlots(table);
        if (unfilled.empty()) return {};
        return "\"" + row.serverName +
               "\" accepted interface version 2 but left handler entries empty (name and byte offset): " +
               entryList<Table>(unfilled);
    }

    // Byte offsets, from the table's start, of the guard words after the
    // table that the last activation wrote.
    std::vector<std::size_t> writtenGuards() const { return handed_.writtenGuards(); }

    // Whether a slot still holds the sentinel.
    template <class Slot>
    static bool untouched(const Slot& slot) {
        uint32_t word;
        std::memcpy(&word, &slot, sizeof word);
        return word == kTableSentinel;
    }
    bool allUntouched() const {
        const auto* words = reinterpret_cast<const uint32_t*>(&table);
        for (std::size_t i = 0; i < sizeof(Table) / 4; ++i)
            if (words[i] != kTableSentinel) return false;
        return true;
    }

    host::Instance create() {
        return enter("create", [] { return std::vector<std::string>{"null"}; }, [&] { return callEntry("create", table.create, nullptr); },
                     [&](host::Instance instance) { return trace->instanceName(instance); });
    }
    void destroy(host::Instance instance) {
        enter("destroy", [&] { return std::vector<std::string>{trace->instanceName(instance)}; },
              [&] { callEntry("destroy", table.destroy, instance); }, [] { return std::string(); });
    }
    int32_t copy(host::Instance source, host::Instance target) {
        return enter(
            "copy", [&] { return std::vector<std::string>{trace->instanceName(source), trace->instanceName(target)}; },
            [&] { return callEntry("copy", table.copy, source, target); }, [](int32_t result) { return formatArg(result); });
    }
    // The flags entry's word, as the table's type gives it.
    auto flags(host::Instance instance) {
        return enter("flags", [&] { return std::vector<std::string>{trace->instanceName(instance)}; },
                     [&] { return callEntry("flags", table.flags, instance); }, [](auto result) { return formatArg(result); });
    }
    int32_t load(host::Instance instance, void* state = nullptr) {
        const EntryInProgress inProgress("load");
        const DefaultFloatingPointAfter restore;
        return callEntry("load", table.load, instance, state);
    }
    int32_t save(host::Instance instance, void* state = nullptr) {
        const EntryInProgress inProgress("save");
        const DefaultFloatingPointAfter restore;
        return callEntry("save", table.save, instance, state);
    }
    // The describe entry's text, or empty when the version gave none.
    std::string describe(host::Instance instance) {
        if (untouched(table.describe) || !table.describe) return {};
        const char* text = enter("describe", [&] { return std::vector<std::string>{trace->instanceName(instance)}; },
                                 [&] { return callEntry("describe", table.describe, instance); },
                                 [](const char* result) { return Trace::messageText(result); });
        return text ? std::string(text) : std::string();
    }

    const ServerRow& row;

private:
    GuardedTable<Table> handed_;  // before `table`, which refers into it

public:
    Table& table = handed_.table;
    Trace* trace = nullptr;  // records every entry call when set

protected:
    // Calls a module entry (`call`). With a trace, records the entry with the
    // arguments `args()` gives before the call and the result `shown(result)`
    // gives after it. Afterwards the defaults are back in force; the trace
    // notes the settings the entry left when they differ from what the host set.
    template <class Args, class Call, class Shown>
    auto enter(const char* name, Args&& args, Call&& call, Shown&& shown) {
        using Result = std::invoke_result_t<Call>;
        const EntryInProgress inProgress(name);
        if (!trace) {
            DefaultFloatingPointAfter restore;
            return call();
        }
        const long index = trace->entered(name, args());
        const FloatingPointState set = currentFloatingPoint();
        if constexpr (std::is_void_v<Result>) {
            call();
            const FloatingPointState left = restoreDefaultFloatingPoint();
            trace->returned(index, shown(), set, left);
        } else {
            Result result = call();
            const FloatingPointState left = restoreDefaultFloatingPoint();
            trace->returned(index, shown(result), set, left);
            return result;
        }
    }
};

class ShaderDriver : public HandlerDriver<host::ShaderHandler> {
public:
    using HandlerDriver::HandlerDriver;
    host::ErrorText init(host::Instance instance) {
        return enter("init", [&] { return std::vector<std::string>{trace->instanceName(instance)}; },
                     [&] { return callEntry("init", table.init, instance); },
                     [](host::ErrorText message) { return Trace::messageText(message); });
    }
    void cleanup(host::Instance instance) {
        const EntryInProgress inProgress("cleanup");
        const DefaultFloatingPointAfter restore;
        callEntry("cleanup", table.cleanup, instance);
    }
    host::ErrorText newTime(host::Instance instance, int32_t frame, double time) {
        return enter(
            "newTime",
            [&] { return std::vector<std::string>{trace->instanceName(instance), formatArg(frame), formatArg(time)}; },
            [&] { return callEntry("newTime", table.newTime, instance, frame, time); },
            [](host::ErrorText message) { return Trace::messageText(message); });
    }
    void evaluate(host::Instance instance, host::SampleAccess& sample) {
        enter("evaluate", [&] { return std::vector<std::string>{trace->instanceName(instance), sampleText(sample)}; },
              [&] { callEntry("evaluate", table.evaluate, instance, &sample); }, [&] { return "colour " + colourText(sample); });
    }

    // How a traced evaluate shows its sample and the colour it returned.
    static std::string colourText(const host::SampleAccess& s) {
        return "(" + formatArg(s.colour[0]) + ", " + formatArg(s.colour[1]) + ", " + formatArg(s.colour[2]) + ")";
    }
    static std::string sampleText(const host::SampleAccess& s) {
        return "sample of item " + formatArg(s.itemId) + " at pixel (" + formatArg(s.pixelX) + ", " +
               formatArg(s.pixelY) + "), colour " + colourText(s);
    }
};

class FilterDriver : public HandlerDriver<host::ImageFilterHandler> {
public:
    using HandlerDriver::HandlerDriver;
    void process(host::Instance instance, const host::ImageAccess& access) {
        enter(
            "process",
            [&] {
                return std::vector<std::string>{trace->instanceName(instance),
                                                "image " + formatArg(access.width) + "x" + formatArg(access.height) +
                                                    " at time " + formatArg(access.time)};
            },
            [&] { callEntry("process", table.process, instance, &access); }, [] { return std::string(); });
    }
};

} // namespace refhost
