// Binding one server row and driving its instances through the handler table
// only, as a host does. With a Trace attached, every entry call is recorded
// with its arguments and result; without one the calls go straight through.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/HandlerTables.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
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

template <class Table>
class HandlerDriver {
public:
    explicit HandlerDriver(const ServerRow& serverRow) : row(serverRow) { fill(); }

    // Fills the table with the sentinel, then runs the row's activation with
    // the host's lookup. Returns the activation's result.
    int32_t activate(int32_t version, void* serverData = nullptr) {
        fill();
        if (!trace) return row.activate(version, Host::lookupFunction(), &table, serverData);
        const long call = trace->entered(
            "activate", {formatArg(version), "GlobalLookup", "handler table", formatArg(static_cast<const void*>(serverData))});
        const int32_t result = row.activate(version, Trace::lookupFunction(), &table, serverData);
        trace->returned(call, formatArg(result));
        return result;
    }

    // Activates with interface version 2 before the server is put to work.
    // Returns empty when the row bound and filled every entry, else why the
    // server cannot be used: an entry left empty is one a host would jump
    // into and crash.
    std::string bindForUse() {
        if (const int32_t result = activate(2); result != 0)
            return "\"" + row.serverName + "\" refused activation with interface version 2 (result " +
                   std::to_string(result) + ")";
        return emptyEntries();
    }

    // After an activation that answered 0: empty when it filled every entry,
    // else which ones it left empty.
    std::string emptyEntries() const {
        std::string offsets;
        for (const std::size_t offset : unfilledSlots(table)) offsets += (offsets.empty() ? "" : ", ") + std::to_string(offset);
        if (offsets.empty()) return {};
        return "\"" + row.serverName + "\" accepted interface version 2 but left handler entries empty (at byte offsets " +
               offsets + ")";
    }

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
        if (!trace) return table.create(nullptr);
        const long call = trace->entered("create", {"null"});
        host::Instance instance = table.create(nullptr);
        trace->returned(call, trace->instanceName(instance));
        return instance;
    }
    void destroy(host::Instance instance) {
        const long call = trace ? trace->entered("destroy", {trace->instanceName(instance)}) : -1;
        table.destroy(instance);
        if (trace) trace->returned(call, "");
    }
    int32_t copy(host::Instance source, host::Instance target) {
        if (!trace) return table.copy(source, target);
        const long call = trace->entered("copy", {trace->instanceName(source), trace->instanceName(target)});
        const int32_t result = table.copy(source, target);
        trace->returned(call, formatArg(result));
        return result;
    }
    // The flags entry's word, as the table's type gives it.
    auto flags(host::Instance instance) {
        if (!trace) return table.flags(instance);
        const long call = trace->entered("flags", {trace->instanceName(instance)});
        const auto result = table.flags(instance);
        trace->returned(call, formatArg(result));
        return result;
    }
    int32_t load(host::Instance instance, void* state = nullptr) { return table.load(instance, state); }
    int32_t save(host::Instance instance, void* state = nullptr) { return table.save(instance, state); }
    // The describe entry's text, or empty when the version gave none.
    std::string describe(host::Instance instance) {
        if (untouched(table.describe) || !table.describe) return {};
        const long call = trace ? trace->entered("describe", {trace->instanceName(instance)}) : -1;
        const char* text = table.describe(instance);
        if (trace) trace->returned(call, Trace::messageText(text));
        return text ? std::string(text) : std::string();
    }

    const ServerRow& row;
    Table table{};
    Trace* trace = nullptr;  // records every entry call when set

private:
    void fill() {
        uint32_t* words = reinterpret_cast<uint32_t*>(&table);
        for (std::size_t i = 0; i < sizeof(Table) / 4; ++i) words[i] = kTableSentinel;
    }
};

class ShaderDriver : public HandlerDriver<host::ShaderHandler> {
public:
    using HandlerDriver::HandlerDriver;
    host::ErrorText init(host::Instance instance) {
        if (!trace) return table.init(instance);
        const long call = trace->entered("init", {trace->instanceName(instance)});
        host::ErrorText message = table.init(instance);
        trace->returned(call, Trace::messageText(message));
        return message;
    }
    void cleanup(host::Instance instance) { table.cleanup(instance); }
    host::ErrorText newTime(host::Instance instance, int32_t frame, double time) {
        if (!trace) return table.newTime(instance, frame, time);
        const long call = trace->entered("newTime", {trace->instanceName(instance), formatArg(frame), formatArg(time)});
        host::ErrorText message = table.newTime(instance, frame, time);
        trace->returned(call, Trace::messageText(message));
        return message;
    }
    void evaluate(host::Instance instance, host::SampleAccess& sample) {
        if (!trace) return table.evaluate(instance, &sample);
        const long call = trace->entered("evaluate", {trace->instanceName(instance), sampleText(sample)});
        table.evaluate(instance, &sample);
        trace->returned(call, "colour " + colourText(sample));
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
        if (!trace) return table.process(instance, &access);
        const long call = trace->entered(
            "process", {trace->instanceName(instance), "image " + formatArg(access.width) + "x" + formatArg(access.height) +
                                                           " at time " + formatArg(access.time)});
        table.process(instance, &access);
        trace->returned(call, "");
    }
};

} // namespace refhost
