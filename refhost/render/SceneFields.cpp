#include "refhost/render/SceneFields.h"

#include <cmath>

#include "refhost/render/Keyframes.h"

namespace refhost {

namespace {

// A short picture of what the file holds, for messages.
std::string shown(const nlohmann::json& value) {
    std::string text = value.dump();
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

std::string range(double low, double high) {
    auto number = [](double v) {
        std::string text = nlohmann::json(v).dump();
        if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
        return text;
    };
    if (high == HUGE_VAL) return "at least " + number(low);
    return "from " + number(low) + " to " + number(high);
}

} // namespace

void Field::fail(const std::string& expected) const {
    throw SceneError(path_ + ": expected " + expected + ", found " + shown(*value_));
}

void Field::expectObject(std::initializer_list<const char*> names) const {
    if (!value_->is_object()) fail("an object");
    for (const auto& [key, member] : value_->items()) {
        bool known = false;
        for (const char* name : names) known = known || key == name;
        if (known) continue;
        std::string message = path_ + ": unknown field \"" + key + "\"";
        if (key == "color") message += " (the field is \"colour\")";
        std::string list;
        for (const char* name : names) list += std::string(list.empty() ? "" : ", ") + name;
        throw SceneError(message + "; expected one of: " + list);
    }
}

std::optional<Field> Field::find(const char* name) const {
    auto it = value_->find(name);
    if (it == value_->end()) return std::nullopt;
    return Field(*it, path_ + "." + name);
}

Field Field::at(const char* name) const {
    if (auto member = find(name)) return *member;
    throw SceneError(path_ + ": the field \"" + name + "\" is missing");
}

std::vector<Field> Field::items(int64_t maxItems, const char* what) const {
    if (!value_->is_array()) fail("a list");
    if (static_cast<int64_t>(value_->size()) > maxItems)
        throw SceneError(path_ + ": " + std::to_string(value_->size()) + " " + what + "; refhost reads at most " +
                         std::to_string(maxItems));
    std::vector<Field> out;
    out.reserve(value_->size());
    for (std::size_t i = 0; i < value_->size(); ++i) out.emplace_back((*value_)[i], path_ + "[" + std::to_string(i) + "]");
    return out;
}

double Field::number(double low, double high) const {
    if (!value_->is_number()) fail("a number " + range(low, high));
    const double v = value_->get<double>();
    if (!std::isfinite(v) || v < low || v > high) fail("a number " + range(low, high));
    return v;
}

int32_t Field::integer(int32_t low, int32_t high) const {
    const std::string expected = "a whole number " + range(low, high);
    if (!value_->is_number()) fail(expected);
    const double v = value_->get<double>();
    if (!std::isfinite(v) || v != std::floor(v) || v < low || v > high) fail(expected);
    return static_cast<int32_t>(v);
}

bool Field::boolean() const {
    if (!value_->is_boolean()) fail("true or false");
    return value_->get<bool>();
}

std::string Field::text() const {
    if (!value_->is_string()) fail("a text in quotes");
    return value_->get<std::string>();
}

std::string Field::oneOf(std::initializer_list<const char*> choices) const {
    std::string list;
    for (const char* c : choices) list += std::string(list.empty() ? "" : " or ") + "\"" + c + "\"";
    if (!value_->is_string()) fail(list);
    const std::string value = value_->get<std::string>();
    for (const char* c : choices)
        if (value == c) return value;
    fail(list);
}

Vec Field::vec(double low, double high) const {
    const std::string expected = "three numbers " + range(low, high) + ", as [x, y, z]";
    if (!value_->is_array() || value_->size() != 3) fail(expected);
    double v[3];
    for (int i = 0; i < 3; ++i) {
        const nlohmann::json& item = (*value_)[static_cast<std::size_t>(i)];
        if (!item.is_number()) fail(expected);
        v[i] = item.get<double>();
        if (!std::isfinite(v[i]) || v[i] < low || v[i] > high) fail(expected);
    }
    return {v[0], v[1], v[2]};
}

bool Field::isKeyed() const { return value_->is_array() && !value_->empty() && (*value_)[0].is_object(); }

template <class T, class Read>
std::vector<std::pair<double, T>> Field::keys(double framesPerSecond, int32_t maxKeys, Read read) const {
    std::vector<std::pair<double, T>> out;
    double previous = -HUGE_VAL;
    for (const Field& key : items(maxKeys, "keys")) {
        key.expectObject({"frame", "value"});
        const Field frame = key.at("frame");
        const double f = frame.number(-1e9, 1e9);
        if (!(f > previous)) frame.fail("a frame after the previous key's");
        previous = f;
        out.emplace_back(f / framesPerSecond, read(key.at("value")));
    }
    return out;
}

ScalarOfTime Field::scalarTrack(double low, double high, double framesPerSecond, int32_t maxKeys) const {
    if (!isKeyed()) return constantScalar(number(low, high));
    std::vector<Key<double>> list;
    for (auto& [time, value] : keys<double>(framesPerSecond, maxKeys, [&](const Field& f) { return f.number(low, high); }))
        list.push_back({time, value});
    return keyedScalar(std::move(list));
}

VecOfTime Field::vecTrack(double low, double high, double framesPerSecond, int32_t maxKeys, bool direction) const {
    auto read = [&](const Field& f) {
        const Vec v = f.vec(low, high);
        if (direction && !(length(v) > 0.0)) f.fail("a direction (not [0, 0, 0])");
        return v;
    };
    if (!isKeyed()) {
        const Vec v = read(*this);
        return constant(direction ? unit(v) : v);
    }
    std::vector<Key<Vec>> list;
    for (auto& [time, value] : keys<Vec>(framesPerSecond, maxKeys, read)) list.push_back({time, value});
    return direction ? keyedDirection(std::move(list)) : keyedVec(std::move(list));
}

std::vector<double> Field::keyFrames() const {
    std::vector<double> frames;
    if (isKeyed())
        for (const nlohmann::json& key : *value_) frames.push_back(key.at("frame").get<double>());
    return frames;
}

double numberOr(const Field& object, const char* name, double fallback, double low, double high) {
    auto member = object.find(name);
    return member ? member->number(low, high) : fallback;
}

bool booleanOr(const Field& object, const char* name, bool fallback) {
    auto member = object.find(name);
    return member ? member->boolean() : fallback;
}

} // namespace refhost
