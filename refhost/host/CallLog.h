// A record of every call the module makes into the emulated host, so that
// tests can assert order and arguments.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace refhost {

struct Call {
    std::string name;               // e.g. "lookup", "item.param", "renderMemory.create"
    std::vector<std::string> args;  // formatted arguments
    std::string text() const;       // "item.param(16777217, 8, 0.2)"
    bool operator==(const Call&) const = default;
};

std::string formatArg(int64_t value);
inline std::string formatArg(int32_t value) { return formatArg(static_cast<int64_t>(value)); }
inline std::string formatArg(uint32_t value) { return formatArg(static_cast<int64_t>(value)); }
std::string formatArg(double value);  // shortest text that reads back exactly
std::string formatArg(const char* text);
std::string formatArg(const void* pointer);

class CallLog {
public:
    void record(std::string name, std::vector<std::string> args);
    std::vector<Call> calls() const;
    // The calls whose name is `name`, in order.
    std::vector<Call> named(const std::string& name) const;
    std::vector<std::string> texts() const;
    void clear();
    bool enabled = true;  // off for bulk work such as renders

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

} // namespace refhost
