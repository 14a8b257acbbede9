// Values that change over a sequence: keys at given times, interpolated
// linearly between them and held before the first and after the last.
#pragma once

#include <vector>

#include "refhost/host/SceneModel.h"

namespace refhost {

template <class T>
struct Key {
    double time = 0.0;  // seconds
    T value{};
};

// Keys must be in increasing time order and not empty. One key is a constant.
ScalarOfTime keyedScalar(std::vector<Key<double>> keys);
VecOfTime keyedVec(std::vector<Key<Vec>> keys);
// As keyedVec, then made unit length: a direction that turns between keys.
VecOfTime keyedDirection(std::vector<Key<Vec>> keys);

} // namespace refhost
