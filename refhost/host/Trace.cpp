#include "refhost/host/Trace.h"

#include <cstdio>
#include <cstdlib>

#include "refhost/host/Module.h"

namespace refhost {

namespace {

Trace* activeTrace = nullptr;
host::ItemInfo hostItem{};
host::LightInfo hostLight{};
host::CameraInfo hostCamera{};
host::RenderMemory hostMemory{};

Host& tracedHost() { return activeTrace ? activeTrace->host : Host::current(); }

// The host's function has recorded its call at index `before` (when the log
// is on): add the result to that record.
void answered(std::size_t before, std::string result) {
    CallLog& log = tracedHost().log;
    if (log.size() > before) log.setResult(static_cast<long>(before), std::move(result));
}

std::string itemText(host::ItemId id) {
    if (id == 0) return "0 (none)";
    const SceneItem* item = tracedHost().scene.item(id);
    return formatArg(id) + (item && !item->name.empty() ? " (" + item->name + ")" : "");
}

std::string vectorText(const double v[3]) {
    return "(" + formatArg(v[0]) + ", " + formatArg(v[1]) + ", " + formatArg(v[2]) + ")";
}

std::string blockText(const void* block) { return block ? "a block" : "null"; }

host::ItemId itemFirst(int32_t kind, host::ItemId parent) {
    const std::size_t before = tracedHost().log.size();
    const host::ItemId id = hostItem.first(kind, parent);
    answered(before, itemText(id));
    return id;
}

host::ItemId itemNext(host::ItemId item) {
    const std::size_t before = tracedHost().log.size();
    const host::ItemId id = hostItem.next(item);
    answered(before, itemText(id));
    return id;
}

int32_t itemParam(host::ItemId item, int32_t code, double time, double out[3]) {
    const std::size_t before = tracedHost().log.size();
    const int32_t result = hostItem.param(item, code, time, out);
    answered(before, vectorText(out));
    return result;
}

int32_t lightAmbient(double time, double colour[3]) {
    const std::size_t before = tracedHost().log.size();
    const int32_t result = hostLight.ambient(time, colour);
    answered(before, vectorText(colour));
    return result;
}

int32_t lightKind(host::ItemId light) {
    const std::size_t before = tracedHost().log.size();
    const int32_t kind = hostLight.kind(light);
    answered(before, formatArg(kind));
    return kind;
}

int32_t lightShadowKind(host::ItemId light) {
    const std::size_t before = tracedHost().log.size();
    const int32_t kind = hostLight.shadowKind(light);
    answered(before, formatArg(kind));
    return kind;
}

double cameraZoom(host::ItemId camera, double time) {
    const std::size_t before = tracedHost().log.size();
    const double zoom = hostCamera.zoom(camera, time);
    answered(before, formatArg(zoom));
    return zoom;
}

void* memoryFind(const char* key) {
    const std::size_t before = tracedHost().log.size();
    void* block = hostMemory.find(key);
    answered(before, blockText(block));
    return block;
}

void* memoryCreate(const char* key, int32_t size) {
    const std::size_t before = tracedHost().log.size();
    void* block = hostMemory.create(key, size);
    answered(before, blockText(block));
    return block;
}

void* lookup(const char* name, int32_t use) {
    const std::size_t before = tracedHost().log.size();
    void* record = Host::lookupFunction()(name, use);
    answered(before, record ? "a record" : "null");
    return record;
}

} // namespace

Trace::Trace(Host& traced)
    : host(traced), itemInfo_(traced.itemInfo), lightInfo_(traced.lightInfo), cameraInfo_(traced.cameraInfo),
      renderMemory_(traced.renderMemory) {
    if (activeTrace) {
        std::fprintf(stderr, "refhost: a second trace while one runs\n");
        std::abort();
    }
    activeTrace = this;
    host.log.enabled = true;
    hostItem = itemInfo_;
    hostLight = lightInfo_;
    hostCamera = cameraInfo_;
    hostMemory = renderMemory_;
    host.itemInfo.first = itemFirst;
    host.itemInfo.next = itemNext;
    host.itemInfo.param = itemParam;
    host.lightInfo.ambient = lightAmbient;
    host.lightInfo.kind = lightKind;
    host.lightInfo.shadowKind = lightShadowKind;
    host.cameraInfo.zoom = cameraZoom;
    host.renderMemory.find = memoryFind;
    host.renderMemory.create = memoryCreate;
}

Trace::~Trace() {
    host.itemInfo = itemInfo_;
    host.lightInfo = lightInfo_;
    host.cameraInfo = cameraInfo_;
    host.renderMemory = renderMemory_;
    activeTrace = nullptr;
}

host::GlobalLookup Trace::lookupFunction() { return lookup; }

long Trace::entered(const std::string& entry, std::vector<std::string> args) {
    return host.log.recordEntry(entry, std::move(args));
}

void Trace::returned(long index, std::string result) { host.log.setResult(index, std::move(result)); }

void Trace::returned(long index, std::string result, const FloatingPointState& set, const FloatingPointState& left) {
    returned(index, std::move(result));
    if (const std::string change = settingsChange(set, left); !change.empty()) host.log.setSettingsLeft(index, change);
}

std::string Trace::instanceName(const void* instance) {
    if (!instance) return "null";
    auto [at, added] = instances_.emplace(instance, static_cast<int>(instances_.size()) + 1);
    return "instance " + std::to_string(at->second);
}

std::string Trace::messageText(const char* message) {
    if (!message) return "null";
    std::string text;
    if (!readText(message, 1023, text)) return "an unreadable text";
    return formatArg(text.c_str());
}

} // namespace refhost
