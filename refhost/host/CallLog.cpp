#include "refhost/host/CallLog.h"

#include <charconv>
#include <cstdio>

#include "refhost/host/Utf8.h"

namespace refhost {

std::string Call::text() const {
    std::string out = name + "(";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i) out += ", ";
        out += args[i];
    }
    return out + ")";
}

std::string formatArg(int64_t value) { return std::to_string(value); }

std::string formatArg(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string formatArg(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

std::string formatArg(const void* pointer) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", pointer);
    return pointer ? buffer : "null";
}

std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : validUtf8(text)) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

long CallLog::record(std::string name, std::vector<std::string> args) {
    if (!enabled) return -1;
    std::lock_guard lock(mutex_);
    calls_.emplace_back(std::move(name), std::move(args));
    return static_cast<long>(calls_.size()) - 1;
}

long CallLog::recordEntry(std::string name, std::vector<std::string> args) {
    if (!enabled) return -1;
    std::lock_guard lock(mutex_);
    calls_.emplace_back(std::move(name), std::move(args), true);
    return static_cast<long>(calls_.size()) - 1;
}

void CallLog::setResult(long index, std::string result) {
    std::lock_guard lock(mutex_);
    if (index >= 0 && static_cast<std::size_t>(index) < calls_.size()) calls_[static_cast<std::size_t>(index)].result = std::move(result);
}

void CallLog::setSettingsLeft(long index, std::string change) {
    std::lock_guard lock(mutex_);
    if (index >= 0 && static_cast<std::size_t>(index) < calls_.size())
        calls_[static_cast<std::size_t>(index)].settingsLeft = std::move(change);
}

std::size_t CallLog::size() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

std::vector<Call> CallLog::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<Call> CallLog::named(const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::vector<Call> out;
    for (const Call& c : calls_)
        if (c.name == name) out.push_back(c);
    return out;
}

std::vector<std::string> CallLog::texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Call& c : calls_) out.push_back(c.text());
    return out;
}

void CallLog::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

} // namespace refhost
