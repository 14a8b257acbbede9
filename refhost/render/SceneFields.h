// Typed, bounded reads of one JSON value of a scene file, each refusal naming
// the value's place in the file ("objects[2].radius") and what was expected.
// Refusals are thrown as SceneError inside the reader and returned as
// messages from it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "refhost/host/SceneModel.h"

namespace refhost {

class SceneError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Field {
public:
    Field(const nlohmann::json& value, std::string path) : value_(&value), path_(std::move(path)) {}

    const std::string& path() const { return path_; }
    const nlohmann::json& json() const { return *value_; }

    // Objects: refuses any member not in `names`, so that a misspelt field is
    // not silently ignored.
    void expectObject(std::initializer_list<const char*> names) const;
    std::optional<Field> find(const char* name) const;
    Field at(const char* name) const;  // a required member

    // Arrays, at most `maxItems` long.
    std::vector<Field> items(int64_t maxItems, const char* what) const;

    double number(double low, double high) const;
    int32_t integer(int32_t low, int32_t high) const;
    bool boolean() const;
    std::string text() const;
    std::string oneOf(std::initializer_list<const char*> choices) const;
    Vec vec(double low, double high) const;  // three numbers

    // A value that may change over the sequence: a constant, or a list of
    // keys {"frame": F, "value": V} with increasing frames.
    bool isKeyed() const;
    ScalarOfTime scalarTrack(double low, double high, double framesPerSecond, int32_t maxKeys) const;
    VecOfTime vecTrack(double low, double high, double framesPerSecond, int32_t maxKeys, bool direction) const;
    // The frames of a track's keys, in order; none for a constant. Only for a
    // track already read.
    std::vector<double> keyFrames() const;

    [[noreturn]] void fail(const std::string& expected) const;

private:
    template <class T, class Read>
    std::vector<std::pair<double, T>> keys(double framesPerSecond, int32_t maxKeys, Read read) const;

    const nlohmann::json* value_;
    std::string path_;
};

// Optional members with defaults.
double numberOr(const Field& object, const char* name, double fallback, double low, double high);
bool booleanOr(const Field& object, const char* name, bool fallback);

} // namespace refhost
