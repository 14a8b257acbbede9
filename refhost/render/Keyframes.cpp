#include "refhost/render/Keyframes.h"

#include <algorithm>
#include <memory>

namespace refhost {

namespace {

double mix(double a, double b, double s) { return (1.0 - s) * a + s * b; }
Vec mix(Vec a, Vec b, double s) { return {mix(a.x, b.x, s), mix(a.y, b.y, s), mix(a.z, b.z, s)}; }

// The value at `time`: a key's own value at its time exactly, so that a frame
// on a key renders the value the user wrote.
template <class T>
T valueAt(const std::vector<Key<T>>& keys, double time) {
    if (!(time > keys.front().time)) return keys.front().value;
    if (time >= keys.back().time) return keys.back().value;
    const auto after = std::upper_bound(keys.begin(), keys.end(), time,
                                        [](double t, const Key<T>& key) { return t < key.time; });
    const Key<T>& b = *after;
    const Key<T>& a = *(after - 1);
    if (time == a.time) return a.value;
    return mix(a.value, b.value, (time - a.time) / (b.time - a.time));
}

} // namespace

ScalarOfTime keyedScalar(std::vector<Key<double>> keys) {
    if (keys.size() == 1) return constantScalar(keys.front().value);
    auto shared = std::make_shared<const std::vector<Key<double>>>(std::move(keys));
    return [shared](double time) { return valueAt(*shared, time); };
}

VecOfTime keyedVec(std::vector<Key<Vec>> keys) {
    if (keys.size() == 1) return constant(keys.front().value);
    auto shared = std::make_shared<const std::vector<Key<Vec>>>(std::move(keys));
    return [shared](double time) { return valueAt(*shared, time); };
}

VecOfTime keyedDirection(std::vector<Key<Vec>> keys) {
    for (Key<Vec>& key : keys) key.value = unit(key.value);
    if (keys.size() == 1) return constant(keys.front().value);
    auto shared = std::make_shared<const std::vector<Key<Vec>>>(std::move(keys));
    return [shared](double time) { return unit(valueAt(*shared, time)); };
}

} // namespace refhost
