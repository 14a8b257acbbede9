// What the checks of every area share inside their child process.

#include <algorithm>
#include <cstdio>

#include "refhost/check/Check.h"
#include "refhost/platform/Platform.h"

namespace refhost::check {

std::vector<RowFacts> ModuleFacts::handlerRows() const {
    std::vector<RowFacts> handlers;
    for (const RowFacts& row : rows)
        if (row.isShader() || row.isFilter()) handlers.push_back(row);
    return handlers;
}

Session::Session(const ModuleFacts& facts) : host(checkScene()) {
    host.log.enabled = false;
    stage("loading the module");
    std::string error;
    module = Module::load(facts.path, error);
    if (!module) skip("the module could not be loaded: " + error);
}

const ServerRow& rowOf(const Module& module, const RowFacts& facts) {
    for (const ServerRow& r : module.rows())
        if (r.index == facts.index && r.className == facts.className && r.serverName == facts.serverName) return r;
    fail("row " + std::to_string(facts.index), quoted(facts.className) + " / " + quoted(facts.serverName),
         "a different table in this load");
}

SceneModel checkScene() {
    SceneModel scene = SceneModel::basic(320, 240);
    scene.addCamera("Camera", {0.0, 1.0, -10.0}, {0.0, 0.0, 1.0}, {0.0, 1.0, 0.0}, 3.2);
    scene.addLight("Sun", host::kLightDistant, host::kShadowRayTraced, {0.0, 10.0, 0.0}, {0.3, -1.0, 0.2});
    scene.addLight("Lamp", host::kLightPoint, host::kShadowRayTraced, {2.0, 3.0, -1.0});
    scene.ambient = constant({0.1, 0.1, 0.1});
    return scene;
}

host::SampleAccess surfaceSample(host::ItemId item, double red, double green, double blue) {
    host::SampleAccess s{};
    s.pixelX = 160;
    s.pixelY = 120;
    s.worldPosition[1] = 1.0;
    s.raySource[1] = 1.0;
    s.raySource[2] = -10.0;
    s.shadingNormal[2] = -1.0;
    s.itemId = item;
    s.colour[0] = red;
    s.colour[1] = green;
    s.colour[2] = blue;
    s.diffuse = 1.0;
    return s;
}

void failWith(const std::vector<std::string>& problems) {
    std::string text;
    const std::size_t shown = std::min<std::size_t>(problems.size(), 3);
    for (std::size_t i = 0; i < shown; ++i) text += (i ? "; " : "") + problems[i];
    if (problems.size() > shown) text += "; and " + std::to_string(problems.size() - shown) + " more";
    fail(text);
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string hex(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", value);
    return buffer;
}

std::string hexByte(uint8_t value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02x", value);
    return buffer;
}

std::string decimal(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

std::string messageText(const char* message) {
    if (!message) return "null";
    std::string text;
    if (!readText(message, 1023, text)) return "an unreadable or unterminated text at " + hex(reinterpret_cast<uintptr_t>(message));
    return quoted(text);
}

std::vector<uint8_t> instanceBytes(host::Instance instance) {
    std::vector<uint8_t> bytes(platform::allocationSize(instance));
    if (!readMemory(instance, bytes.data(), bytes.size())) fail("the instance's memory is not readable");
    return bytes;
}

const std::vector<std::string>& dependentGroups() {
    static const std::vector<std::string> groups = {"versions", "lifecycle", "services", "shader", "filter", "threads"};
    return groups;
}

} // namespace refhost::check
