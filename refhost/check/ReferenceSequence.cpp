#include "refhost/check/ReferenceSequence.h"

#include "host/ImageAccess.h"
#include "host/RayRegistry.h"
#include "host/ServiceRecords.h"

namespace refhost::check {

void ReferenceSequence::entry(const std::string& name, std::vector<std::string> args, const std::string& result) {
    calls_.emplace_back(name, std::move(args), true, result);
}

void ReferenceSequence::hostCall(const std::string& name, std::vector<std::string> args) {
    calls_.emplace_back(name, std::move(args));
}

void ReferenceSequence::initLookups() {
    for (const host::RequiredService& service : host::kRequiredServices)
        hostCall("lookup", {formatArg(service.name), formatArg(int32_t{0})});
}

void ReferenceSequence::refresh(const SceneModel& scene, double time) {
    const auto cameras = scene.itemsOfKind(host::kItemCamera);
    const host::ItemId camera = cameras.empty() ? 0 : cameras.front()->id;
    hostCall("item.first", {formatArg(host::kItemCamera), formatArg(int32_t{0})});
    for (const int32_t code : {host::kParamPosition, host::kParamWorldPosition, host::kParamForward, host::kParamRight,
                               host::kParamUp})
        hostCall("item.param", {formatArg(camera), formatArg(code), formatArg(time)});
    hostCall("camera.zoom", {formatArg(camera), formatArg(time)});
    hostCall("light.ambient", {formatArg(time)});
}

void ReferenceSequence::attachRegistry(bool blockExists) {
    hostCall("renderMemory.find", {formatArg(host::kRayCallListKey)});
    if (!blockExists)
        hostCall("renderMemory.create", {formatArg(host::kRayCallListKey), formatArg(static_cast<int32_t>(sizeof(void*)))});
}

void ReferenceSequence::encodeImage(const Image& source, bool withMonitor, uint8_t (*encode)(uint8_t)) {
    if (withMonitor) hostCall("monitor.begin", {formatArg(source.height)});
    for (int32_t y = 0; y < source.height; ++y) {
        for (const int32_t channel : {host::kChannelRed, host::kChannelGreen, host::kChannelBlue, host::kChannelAlpha})
            hostCall("image.row", {formatArg(channel), formatArg(y)});
        for (int32_t x = 0; x < source.width; ++x) {
            const uint8_t* p = source.pixel(x, y);
            hostCall("image.setColour", {formatArg(x), formatArg(y), formatArg(int32_t{encode(p[0])}),
                                         formatArg(int32_t{encode(p[1])}), formatArg(int32_t{encode(p[2])})});
            hostCall("image.setAlpha", {formatArg(x), formatArg(y), formatArg(int32_t{p[3]})});
        }
        if (withMonitor) hostCall("monitor.advance", {formatArg(int32_t{1})});
    }
    if (withMonitor) hostCall("monitor.finish", {});
}

namespace {

std::string shown(const Call& call, bool withResult) {
    std::string text = call.text();
    if (withResult && !call.result.empty()) text += " = " + call.result;
    return text;
}

} // namespace

std::string firstDifference(const std::vector<Call>& expected, const std::vector<Call>& seen) {
    std::string entry;  // the host's entry call the module is in
    for (std::size_t i = 0; i < expected.size() || i < seen.size(); ++i) {
        if (i < expected.size() && expected[i].intoModule) entry = expected[i].name;
        const std::string where = "call " + std::to_string(i + 1) + (entry.empty() ? "" : " (in the " + entry + " entry)");
        if (i >= seen.size()) return where + ": expected " + shown(expected[i], true) + ", saw no further call";
        if (i >= expected.size()) return where + ": expected no further call, saw " + shown(seen[i], true);
        const Call& e = expected[i];
        const Call& s = seen[i];
        const bool same = e.name == s.name && e.args == s.args && e.intoModule == s.intoModule &&
                          (e.result.empty() || e.result == s.result);
        if (!same) return where + ": expected " + shown(e, !e.result.empty()) + ", saw " + shown(s, !e.result.empty());
    }
    return {};
}

} // namespace refhost::check
