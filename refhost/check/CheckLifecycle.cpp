// Activation and the life of instances: which interface versions bind, what
// an activation fills, and create, copy, describe and destroy in the orders a
// host may call them, up to unloading and loading the module again.
#include <algorithm>
#include <climits>
#include <map>
#include <set>
#include <type_traits>

#include "refhost/check/Check.h"
#include "refhost/platform/Platform.h"

namespace refhost::check {

namespace {

// ---- versions ----

constexpr int32_t kUnsupportedVersions[] = {0, 3, -1, 1000, INT32_MAX};

// Calls to the lookup handed over with an unsupported version; it answers as the host does.
int32_t strayLookups = 0;
void* strayLookup(const char* name, int32_t use) {
    ++strayLookups;
    return Host::lookupFunction()(name, use);
}

// The table handed out sentinel-filled, with the host's guard words after it.
template <class Table>
int32_t activateInto(const ServerRow& row, int32_t version, host::GlobalLookup lookup, GuardedTable<Table>& handed) {
    handed.fill();
    stage("activation with version " + std::to_string(version));
    const int32_t result = [&] {
        const DefaultFloatingPointAfter restore("activate");
        return callEntry("activate", row.activate, version, lookup, &handed.table, nullptr);
    }();
    holdProcessState("activation of row " + std::to_string(row.index) + " (" + row.serverName + ") with version " +
                     std::to_string(version));
    return result;
}

// A problem for each guard word after the table that the activation wrote.
template <class Table>
void expectGuards(const GuardedTable<Table>& handed, const std::string& what, std::vector<std::string>& problems) {
    for (const std::size_t offset : handed.writtenGuards())
        problems.push_back(what + ": the host's word at offset " + std::to_string(offset) + ", past the end of the " +
                           std::to_string(sizeof(Table)) + "-byte handler table: expected it unchanged " +
                           hex(kTableGuard) + ", saw " + hex(handed.guard[(offset - sizeof(Table)) / 4]));
}

template <class Table>
bool untouchedTable(const Table& table) {
    const auto* words = reinterpret_cast<const uint32_t*>(&table);
    return std::all_of(words, words + sizeof(Table) / 4, [](uint32_t w) { return w == kTableSentinel; });
}

template <class Table>
std::string slotWord(const Table& table, std::size_t offset) {
    uint32_t word;
    std::memcpy(&word, reinterpret_cast<const char*>(&table) + offset, sizeof word);
    return word == kTableSentinel ? "the host's sentinel" : word == 0 ? "null" : hex(word);
}

template <class Table>
void checkVersions(const ServerRow& row) {
    constexpr std::size_t describeSlot = offsetof(Table, describe);
    const host::GlobalLookup lookup = Host::lookupFunction();
    GuardedTable<Table> handed{};
    const Table& table = handed.table;
    std::vector<std::string> problems;

    for (const int32_t version : kUnsupportedVersions) {
        const std::string what = "version " + std::to_string(version);
        const int32_t result = activateInto(row, version, lookup, handed);
        if (result != 1)
            problems.push_back(what + ": expected result 1 (unsupported), saw " + std::to_string(result));
        else if (!untouchedTable(table))
            problems.push_back(what + ": expected the table untouched, saw it written");
        expectGuards(handed, what, problems);
    }
    for (const int32_t version : {1, 2}) {
        const std::string what = "version " + std::to_string(version);
        const int32_t result = activateInto(row, version, lookup, handed);
        expectGuards(handed, what, problems);
        if (result != 0) {
            problems.push_back(what + ": expected result 0 (bound), saw " + std::to_string(result));
            continue;
        }
        // One problem for the entries left null, one for those left as handed out.
        std::map<std::string, std::vector<std::size_t>> emptyBySeen;
        for (const std::size_t offset : unfilledSlots(table, version == 1 ? describeSlot : sizeof(Table)))
            emptyBySeen[slotWord(table, offset)].push_back(offset);
        for (const auto& [seen, offsets] : emptyBySeen)
            problems.push_back(what + ": " + (offsets.size() == 1 ? "entry " : "entries ") + entryList<Table>(offsets) +
                               ": expected " + (offsets.size() == 1 ? "a function" : "functions") + ", saw " + seen);
        if (version == 1 && !HandlerDriver<Table>::untouched(table.describe))
            problems.push_back(what + ": describe slot (offset " + std::to_string(describeSlot) +
                               "): expected it as the host gave it, saw " + slotWord(table, describeSlot));
    }

    // An unsupported activation must not keep the lookup it was given: bind
    // properly, offer another lookup with a bad version, and see which one a
    // new instance uses.
    if (problems.empty()) {
        for (const int32_t version : kUnsupportedVersions) {
            GuardedTable<Table> bound{}, refused{};
            activateInto(row, 2, lookup, bound);
            activateInto(row, version, strayLookup, refused);
            strayLookups = 0;
            stage("create after an activation with version " + std::to_string(version));
            {
                const DefaultFloatingPointAfter restore("create and destroy");
                if (host::Instance instance = callEntry("create", bound.table.create, nullptr))
                    callEntry("destroy", bound.table.destroy, instance);
            }
            holdProcessState("create and destroy after an activation with version " + std::to_string(version));
            if (strayLookups)
                problems.push_back("version " + std::to_string(version) +
                                   ": expected the host's lookup function kept, saw the one passed with it called " +
                                   std::to_string(strayLookups) + " times");
        }
    }
    if (!problems.empty()) failWith(problems);
}

// ---- instances ----

// The entries both handler classes have, from a table bound with version 2.
struct BoundRow {
    std::string label;
    host::CreateEntry create = nullptr;
    host::DestroyEntry destroy = nullptr;
    host::CopyEntry copy = nullptr;
    host::DescribeEntry describe = nullptr;
    bool known = false;             // one of the servers this host knows
    const void* library = nullptr;  // an address in the module's image: its descriptor
    mutable uint32_t calls = 0;     // entry calls made through this row

    host::Instance make(const std::string& what) const {
        host::Instance instance = enter("create", create, nullptr);
        if (!instance) fail(what + ": the create entry returned null");
        return instance;
    }
    void dispose(host::Instance instance) const { enter("destroy", destroy, instance); }
    int32_t copyFrom(host::Instance source, host::Instance target) const { return enter("copy", copy, source, target); }
    const char* describeText(host::Instance instance) const { return enter("describe", describe, instance); }

private:
    // A raw entry call, after which the host's default floating-point
    // settings are back and the process is as the module found it: compared
    // after each of a row's first calls and every 100th after them (a snapshot
    // costs milliseconds under Wine), and by the runner at the check's end.
    template <class Entry, class... Args>
    std::invoke_result_t<Entry, Args...> enter(const char* name, Entry entry, Args... args) const {
        // The defaults are back (and what the entry left noted) before the process is compared.
        auto call = [&] {
            const DefaultFloatingPointAfter restore(name);
            return callEntry(name, entry, args...);
        };
        auto hold = [&] {
            if (++calls <= 64 || calls % 100 == 0) holdProcessState(std::string(name) + " of \"" + label + "\"");
        };
        if constexpr (std::is_void_v<std::invoke_result_t<Entry, Args...>>) {
            call();
            hold();
        } else {
            const std::invoke_result_t<Entry, Args...> result = call();
            hold();
            return result;
        }
    }
};

template <class Driver>
BoundRow bindEntries(const ServerRow& row, const std::string& label) {
    Driver driver(row);
    bind(driver, label);
    return {label, driver.table.create, driver.table.destroy, driver.table.copy, driver.table.describe};
}

BoundRow bindRow(const Module& module, const RowFacts& facts) {
    const ServerRow& row = rowOf(module, facts);
    BoundRow bound =
        facts.isShader() ? bindEntries<ShaderDriver>(row, facts.label) : bindEntries<FilterDriver>(row, facts.label);
    bound.known = facts.known();
    bound.library = &module.descriptor();
    return bound;
}

void copyExpectingZero(const BoundRow& row, host::Instance source, host::Instance target, const std::string& what) {
    stage(what);
    if (const int32_t result = row.copyFrom(source, target); result != 0)
        fail(what + ": copy entry's result", "0", std::to_string(result));
}

void checkCycles(const Session& session, const RowFacts& facts) {
    const BoundRow row = bindRow(*session.module, facts);
    constexpr int kCycles = 1000;
    auto cycle = [&](int i) {
        host::Instance instance = row.make("cycle " + std::to_string(i));
        row.dispose(instance);
    };
    // The heap these cycles leave is measured by memory/<row>.
    stage(decimal(kCycles) + " create/destroy cycles");
    for (int i = 0; i < kCycles; ++i) cycle(i);
}

void checkShuffle(const Session& session, const RowFacts& facts, uint32_t seed) {
    const BoundRow row = bindRow(*session.module, facts);
    constexpr std::size_t kInstances = 64;
    std::mt19937 random(seed);
    std::vector<host::Instance> live;
    std::size_t created = 0;
    int step = 0;
    auto pick = [&] { return std::uniform_int_distribution<std::size_t>(0, live.size() - 1)(random); };
    while (created < kInstances || !live.empty()) {
        const std::string what = "step " + std::to_string(++step);
        const double r = std::uniform_real_distribution<double>(0.0, 1.0)(random);
        if (created < kInstances && (r < 0.45 || live.size() < 2)) {
            stage(what + ": create");
            host::Instance instance = row.make(what);
            if (std::find(live.begin(), live.end(), instance) != live.end())
                fail(what + ": create", "a new instance", "one that is still alive (" + hex(reinterpret_cast<uintptr_t>(instance)) + ")");
            live.push_back(instance);
            ++created;
        } else if (live.size() >= 2 && r < 0.75) {
            copyExpectingZero(row, live[pick()], live[pick()], what + ": copy");
        } else {
            const std::size_t victim = pick();
            stage(what + ": destroy");
            row.dispose(live[victim]);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(victim));
        }
    }
}

void checkDestroyNull(const Session& session, const RowFacts& facts) {
    const BoundRow row = bindRow(*session.module, facts);
    stage("destroy entry with a null instance");
    row.dispose(nullptr);
}

// The copy entry with a null source and with a null target, as a host may
// call it: like destroy of null, no crash, result 0, and the instance that
// was given unchanged.
void checkCopyNull(const Session& session, const RowFacts& facts) {
    const BoundRow row = bindRow(*session.module, facts);
    host::Instance instance = row.make("the instance");
    for (const bool nullSource : {true, false}) {
        const std::string what = nullSource ? "copy entry with a null source" : "copy entry with a null target";
        const std::vector<uint8_t> before = instanceBytes(instance);
        copyExpectingZero(row, nullSource ? nullptr : instance, nullSource ? instance : nullptr, what);
        const std::vector<uint8_t> after = instanceBytes(instance);
        for (std::size_t i = 0; i < before.size() && i < after.size(); ++i)
            if (before[i] != after[i])
                fail(what + ": byte " + std::to_string(i) + " of the " + (nullSource ? "target" : "source") + " instance",
                     "unchanged " + hexByte(before[i]), hexByte(after[i]));
    }
    row.dispose(instance);
}

// How far below a check's own frame a text on the stack of a call it made may lie.
constexpr uintptr_t kStackReach = 1u << 20;

// Where a describe text may lie: in the instance, or in the module's own
// constants or static data, which last as long as the module. A text on the
// stack or in freed memory is gone by the time a host reads it. The servers
// this host knows keep theirs in the instance, and describe writes nothing
// else of it.
std::string describeTextPlace(const BoundRow& row, uintptr_t base, std::size_t size, uintptr_t at) {
    const bool inInstance = at >= base && at < base + size;
    if (inInstance || (!row.known && platform::inLibraryOf(row.library, reinterpret_cast<const void*>(at)))) return {};
    const std::string instance = "inside the instance's " + decimal(size) + " bytes at " + hex(base);
    return row.known ? instance : instance + " or in the module's image";
}

// describe's text must end within 64 bytes, in memory that outlives the call.
void checkDescribeOf(const BoundRow& row, host::Instance instance, const std::string& what) {
    std::vector<uint8_t> before = instanceBytes(instance);
    std::vector<uint8_t> after(before.size());  // allocated before the call, so that describe sees a quiet heap
    int onStack = 0;                             // an address on this thread's stack, above describe's frame
    stage(what);
    const char* text = row.describeText(instance);
    const auto base = reinterpret_cast<uintptr_t>(instance);
    const auto at = reinterpret_cast<uintptr_t>(text);
    if (!text) fail(what + ": describe entry's result", "a text", "null");
    if (const std::string place = describeTextPlace(row, base, before.size(), at); !place.empty()) {
        const auto stackTop = reinterpret_cast<uintptr_t>(&onStack);
        const bool belowHere = at < stackTop && stackTop - at < kStackReach;
        fail(what + ": describe entry's text", place,
             "a text at " + hex(at) + (belowHere ? " (on the stack, where the next call overwrites it)" : ""));
    }
    std::string description;
    if (!readText(text, 63, description)) {
        std::string longer;
        const bool terminated = readText(text, 4095, longer);
        fail(what + ": describe entry's text", "a terminator within 64 bytes",
             terminated ? std::to_string(longer.size()) + " characters" : "no terminator within 4,096 bytes");
    }
    if (at < base || at >= base + before.size()) return;
    const std::size_t offset = at - base;
    if (offset + description.size() + 1 > before.size())
        fail(what + ": describe entry's text", "inside the instance", "it running past the instance's end");
    if (!row.known) return;
    if (!readMemory(instance, after.data(), after.size())) fail(what + ": the instance is no longer readable");
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (i >= offset && i < offset + 64) continue;
        if (before[i] != after[i])
            fail(what + ": instance byte " + std::to_string(i) + ", outside the 64-byte text at offset " +
                     std::to_string(offset),
                 "unchanged " + hexByte(before[i]), hexByte(after[i]));
    }
}

void checkDescribe(const Session& session, const RowFacts& facts) {
    const BoundRow row = bindRow(*session.module, facts);
    host::Instance first = row.make("the first instance");
    checkDescribeOf(row, first, "describe of a new instance");
    checkDescribeOf(row, first, "describe again");
    host::Instance second = row.make("the second instance");
    copyExpectingZero(row, first, second, "copy of the described instance");
    checkDescribeOf(row, second, "describe of the copy");
    row.dispose(second);
    row.dispose(first);
}

void checkCopyAcross(const Session& session, const std::vector<RowFacts>& handlers) {
    std::vector<BoundRow> rows;
    std::vector<host::Instance> instances;
    for (const RowFacts& facts : handlers) {
        rows.push_back(bindRow(*session.module, facts));
        instances.push_back(rows.back().make(facts.label));
    }
    // Only the servers this host knows promise to leave an instance of another server alone.
    for (std::size_t a = 0; a < rows.size(); ++a) {
        for (std::size_t b = 0; b < rows.size() && rows[a].known; ++b) {
            if (a == b) continue;
            const std::vector<uint8_t> targetBefore = instanceBytes(instances[a]);
            const std::vector<uint8_t> sourceBefore = instanceBytes(instances[b]);
            const std::string what = "copy entry of \"" + rows[a].label + "\" from a \"" + rows[b].label + "\" instance";
            copyExpectingZero(rows[a], instances[b], instances[a], what);
            if (instanceBytes(instances[a]) != targetBefore) fail(what, "the target unchanged", "it changed");
            if (instanceBytes(instances[b]) != sourceBefore) fail(what, "the source unchanged", "it changed");
        }
    }
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i].dispose(instances[i]);
}

// Present only in builds with the leak sanitizer.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

// Loads the module with Unload::Now. What the library allocates while it
// starts stays out of the leak sanitizer's report: a statically linked C++
// runtime keeps its emergency exception pool for good, and unloading cannot
// give it back.
std::unique_ptr<Module> loadForUnload(const std::string& path, std::string& error) {
    if (__lsan_disable) __lsan_disable();
    std::unique_ptr<Module> module = Module::load(path, error, Module::Unload::Now);
    if (__lsan_enable) __lsan_enable();
    return module;
}

} // namespace

void loadAndExercise(const ModuleFacts& facts, const std::string& what) {
    stage(what + ": loading");
    std::string error;
    std::unique_ptr<Module> module = loadForUnload(facts.path, error);
    if (!module) fail(what, "the module loaded", error);
    // What loading changes is the load check's to report; once the module is
    // unloaded, the process is as it was before the load.
    const ProcessBaseline beforeLoad = processBaseline();
    takeProcessBaseline();
    std::vector<std::string> seen, expected;
    for (const ServerRow& r : module->rows()) seen.push_back(quoted(r.className) + " / " + quoted(r.serverName));
    for (const RowFacts& r : facts.rows) expected.push_back(quoted(r.className) + " / " + quoted(r.serverName));
    if (seen != expected) {
        auto join = [](const std::vector<std::string>& rows) {
            std::string text = std::to_string(rows.size()) + (rows.size() == 1 ? " row" : " rows");
            for (const std::string& r : rows) text += ", " + r;
            return text;
        };
        fail(what + ": the server table", join(expected), join(seen));
    }
    for (const RowFacts& r : facts.handlerRows()) {
        const BoundRow row = bindRow(*module, r);
        stage(what + ": create and destroy of \"" + r.label + "\"");
        row.dispose(row.make(what + ": \"" + r.label + "\""));
    }
    stage(what + ": unloading");
    module.reset();
    setProcessBaseline(beforeLoad);
    holdProcessState(what + ": loading and unloading");
}

std::vector<CheckDefinition> activationChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> checks;
    for (const RowFacts& r : facts.handlerRows()) {
        checks.push_back({"versions/" + r.label, [facts, r](std::string&) {
                              Session session(facts);
                              const ServerRow& row = session.row(r);
                              if (r.isShader())
                                  checkVersions<host::ShaderHandler>(row);
                              else
                                  checkVersions<host::ImageFilterHandler>(row);
                          }});
    }
    return checks;
}

std::vector<CheckDefinition> lifecycleChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> checks;
    const std::vector<RowFacts> handlers = facts.handlerRows();
    for (const RowFacts& r : handlers) {
        checks.push_back({"lifecycle/cycles/" + r.label, [facts, r](std::string&) { checkCycles(Session(facts), r); }});
        checks.push_back({"lifecycle/shuffle/" + r.label,
                          [facts, r](std::string&) { checkShuffle(Session(facts), r, facts.seed); }, true});
        checks.push_back(
            {"lifecycle/destroy-null/" + r.label, [facts, r](std::string&) { checkDestroyNull(Session(facts), r); }});
        checks.push_back(
            {"lifecycle/copy-null/" + r.label, [facts, r](std::string&) { checkCopyNull(Session(facts), r); }});
        checks.push_back({"lifecycle/describe/" + r.label, [facts, r](std::string&) { checkDescribe(Session(facts), r); }});
    }
    checks.push_back({"lifecycle/copy-across", [facts, handlers](std::string&) {
                          if (handlers.size() < 2) skip("the module has fewer than two handler servers");
                          if (std::none_of(handlers.begin(), handlers.end(), [](const RowFacts& r) { return r.known(); }))
                              skip("no server of this module is one this host knows, which alone promise to "
                                   "leave an instance of another server unchanged");
                          checkCopyAcross(Session(facts), handlers);
                      }});
    checks.push_back({"lifecycle/reload",
                      [facts](std::string&) {
                          lastingHost();
                          loadAndExercise(facts, "first load");
                          loadAndExercise(facts, "second load");
                      },
                      false, true});
    return checks;
}

} // namespace refhost::check
