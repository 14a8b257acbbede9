// The calls the interface says a module's servers make, built from this
// host's own model of it (the service order, what a scene refresh reads, the
// registry key, how the display-encoding filter walks an image), never from a
// recording of a module. A reference sequence is compared call by call with
// a trace of the module.
#pragma once

#include <string>
#include <vector>

#include "refhost/host/CallLog.h"
#include "refhost/host/SceneModel.h"
#include "refhost/image/Image.h"

namespace refhost::check {

// Expected calls in trace form; an empty `result` is not compared.
class ReferenceSequence {
public:
    // A module entry called by the host, and what it must return when the
    // interface says (empty: anything).
    void entry(const std::string& name, std::vector<std::string> args, const std::string& result = "");
    // init: every required service looked up by name, in order, with 0.
    void initLookups();
    // A scene refresh at `time`: the first camera, its five parameters in the
    // order 1, 8, 4, 2, 3, its zoom, then the ambient colour.
    void refresh(const SceneModel& scene, double time);
    // The shader's time step attaching the ray-caller registry; a block is
    // created only the first time.
    void attachRegistry(bool blockExists);
    // The display-encoding filter over `source`: begin with the height, then
    // per row the four planes 32 to 35, per pixel in ascending x the colour
    // setter and then the alpha setter, then advance(1); finish after the last
    // row. Without a monitor, no monitor call.
    void encodeImage(const Image& source, bool withMonitor, uint8_t (*encode)(uint8_t));

    const std::vector<Call>& calls() const { return calls_; }

private:
    void hostCall(const std::string& name, std::vector<std::string> args);
    std::vector<Call> calls_;
};

// The first call of `seen` that differs from `expected`: "call 12 (in the
// newTime entry): expected X, saw Y". Empty when the two agree.
std::string firstDifference(const std::vector<Call>& expected, const std::vector<Call>& seen);

} // namespace refhost::check
