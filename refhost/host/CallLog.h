// A record of every call the module makes into the emulated host, so that
// tests can assert order and arguments.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace refhost {

struct Call {
    Call() = default;
    Call(std::string callName, std::vector<std::string> callArgs, bool isEntry = false, std::string returned = {})
        : name(std::move(callName)), args(std::move(callArgs)), intoModule(isEntry), result(std::move(returned)) {}

    std::string name;               // e.g. "lookup", "item.param", "renderMemory.create"
    std::vector<std::string> args;  // formatted arguments
    std::string text() const;       // "item.param(16777217, 8, 0.2)"
    // Filled only while a Trace runs: who called (the host calling a module
    // entry, or the module calling a host function) and what the call returned.
    bool intoModule = false;
    std::string result;
    // For an entry that returned with other floating-point settings than the
    // host set: what it left (see settingsChange). Not part of the sequence.
    std::string settingsLeft;
    bool operator==(const Call&) const = default;
};

std::string formatArg(int64_t value);
inline std::string formatArg(int32_t value) { return formatArg(static_cast<int64_t>(value)); }
inline std::string formatArg(uint32_t value) { return formatArg(static_cast<int64_t>(value)); }
std::string formatArg(double value);  // shortest text that reads back exactly
std::string formatArg(const char* text);
std::string formatArg(const void* pointer);
// `text` as a JSON string, quotes included: valid UTF-8 (see validUtf8), every control character escaped.
std::string jsonText(const std::string& text);

class CallLog {
public:
    // Returns the call's index, or -1 when the log is off.
    long record(std::string name, std::vector<std::string> args);
    // Records a call of a module entry by the host.
    long recordEntry(std::string name, std::vector<std::string> args);
    // Sets what the call at `index` returned; ignores -1.
    void setResult(long index, std::string result);
    // Notes the floating-point settings the entry at `index` left; ignores -1.
    void setSettingsLeft(long index, std::string change);
    std::size_t size() const;
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
