// Binding one server row and driving its instances through the handler table
// only, as a host does.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "host/HandlerTables.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"

namespace refhost {

// A word no module writes by accident: handler tables are pre-filled with it
// so that what an activation left alone can be told from what it filled.
inline constexpr uint32_t kTableSentinel = 0xDEADBEEFu;

template <class Table>
class HandlerDriver {
public:
    explicit HandlerDriver(const ServerRow& serverRow) : row(serverRow) { fill(); }

    // Fills the table with the sentinel, then runs the row's activation with
    // the host's lookup. Returns the activation's result.
    int32_t activate(int32_t version, void* serverData = nullptr) {
        fill();
        return row.activate(version, Host::lookupFunction(), &table, serverData);
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

    host::Instance create() { return table.create(nullptr); }
    void destroy(host::Instance instance) { table.destroy(instance); }
    int32_t copy(host::Instance source, host::Instance target) { return table.copy(source, target); }
    int32_t load(host::Instance instance, void* state = nullptr) { return table.load(instance, state); }
    int32_t save(host::Instance instance, void* state = nullptr) { return table.save(instance, state); }
    // The describe entry's text, or empty when the version gave none.
    std::string describe(host::Instance instance) {
        if (untouched(table.describe) || !table.describe) return {};
        const char* text = table.describe(instance);
        return text ? std::string(text) : std::string();
    }

    const ServerRow& row;
    Table table{};

private:
    void fill() {
        uint32_t* words = reinterpret_cast<uint32_t*>(&table);
        for (std::size_t i = 0; i < sizeof(Table) / 4; ++i) words[i] = kTableSentinel;
    }
};

class ShaderDriver : public HandlerDriver<host::ShaderHandler> {
public:
    using HandlerDriver::HandlerDriver;
    host::ErrorText init(host::Instance instance) { return table.init(instance); }
    void cleanup(host::Instance instance) { table.cleanup(instance); }
    host::ErrorText newTime(host::Instance instance, int32_t frame, double time) {
        return table.newTime(instance, frame, time);
    }
    void evaluate(host::Instance instance, host::SampleAccess& sample) { table.evaluate(instance, &sample); }
    uint32_t flags(host::Instance instance) { return table.flags(instance); }
};

class FilterDriver : public HandlerDriver<host::ImageFilterHandler> {
public:
    using HandlerDriver::HandlerDriver;
    void process(host::Instance instance, const host::ImageAccess& access) { table.process(instance, &access); }
    int32_t flags(host::Instance instance) { return table.flags(instance); }
};

} // namespace refhost
