#include "refhost/host/Host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace refhost {

namespace {

Host* currentHost = nullptr;

void storeVec(const Vec& v, double out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

// ---- "LW Item Info" ----
host::ItemId itemFirst(int32_t kind, host::ItemId parent) {
    Host& h = Host::current();
    h.log.record("item.first", {formatArg(kind), formatArg(parent)});
    auto items = h.scene.itemsOfKind(kind);
    return items.empty() ? 0 : items.front()->id;
}

host::ItemId itemNext(host::ItemId id) {
    Host& h = Host::current();
    h.log.record("item.next", {formatArg(id)});
    const SceneItem* item = h.scene.item(id);
    if (!item) return 0;
    auto items = h.scene.itemsOfKind(item->kind);
    for (std::size_t i = 0; i + 1 < items.size(); ++i)
        if (items[i]->id == id) return items[i + 1]->id;
    return 0;
}

int32_t itemParam(host::ItemId id, int32_t code, double time, double out[3]) {
    Host& h = Host::current();
    h.log.record("item.param", {formatArg(id), formatArg(code), formatArg(time)});
    const SceneItem* item = h.scene.item(id);
    storeVec(item ? item->param(code, time) : Vec{}, out);
    return item ? 1 : 0;
}

// ---- "LW Light Info" ----
int32_t lightAmbient(double time, double out[3]) {
    Host& h = Host::current();
    h.log.record("light.ambient", {formatArg(time)});
    storeVec(h.scene.ambient(time), out);
    return 1;
}

int32_t lightKind(host::ItemId id) {
    Host& h = Host::current();
    h.log.record("light.kind", {formatArg(id)});
    const SceneItem* item = h.scene.item(id);
    return item ? item->lightKind : -1;
}

int32_t lightShadowKind(host::ItemId id) {
    Host& h = Host::current();
    h.log.record("light.shadowKind", {formatArg(id)});
    const SceneItem* item = h.scene.item(id);
    return item ? item->shadowKind : 0;
}

// ---- "LW Camera Info" ----
double cameraZoom(host::ItemId id, double time) {
    Host& h = Host::current();
    h.log.record("camera.zoom", {formatArg(id), formatArg(time)});
    const SceneItem* item = h.scene.item(id);
    return item && item->zoom ? item->zoom(time) : 1.0;
}

// ---- "Global Render Memory" ----
void* memoryFind(const char* key) {
    Host& h = Host::current();
    h.log.record("renderMemory.find", {formatArg(key)});
    return key ? h.renderBlock(key) : nullptr;
}

void* memoryCreate(const char* key, int32_t size) {
    Host& h = Host::current();
    h.log.record("renderMemory.create", {formatArg(key), formatArg(size)});
    return key && size >= 0 ? h.createRenderBlock(key, size) : nullptr;
}

// ---- gradient service ----
void gradientRelease() { Host::current().log.record("gradient.release", {}); }

// ---- panel service ----
host::PanelHandle panelCreate(void* title, host::PanelService* self) {
    Host& h = Host::current();
    h.log.record("panel.create", {formatArg(title), formatArg(static_cast<const void*>(self))});
    if (!h.panel.createSucceeds) return nullptr;
    ++h.panel.handlesCreated;
    return reinterpret_cast<host::PanelHandle>(static_cast<intptr_t>(0x1000 + h.panel.handlesCreated));
}

int32_t panelRelease(host::PanelHandle handle) {
    Host& h = Host::current();
    h.log.record("panel.release", {formatArg(static_cast<const void*>(handle))});
    ++h.panel.handlesReleased;
    return 0;
}

int32_t panelRun(host::PanelHandle handle, int32_t mode) {
    Host& h = Host::current();
    h.log.record("panel.run", {formatArg(static_cast<const void*>(handle)), formatArg(mode)});
    if (h.panel.callCallbackDuringRun && h.panel.installedCallback) {
        h.panel.lastCallbackResult =
            h.panel.installedCallback(h.panel.callbackFirst, h.panel.callbackSecond, h.panel.callbackThird);
    }
    return h.panel.runResult;
}

int32_t panelSet(host::PanelHandle handle, int32_t tag, void* value) {
    Host& h = Host::current();
    std::string shown;
    if (tag == host::kPanelWidthTag || tag == host::kPanelHeightTag) {
        // The value is an address the module overwrites after the call: read it now.
        shown = value ? formatArg(*static_cast<const int32_t*>(value)) : "null";
    } else if (tag == host::kPanelCallbackTag) {
        h.panel.installedCallback = reinterpret_cast<host::PanelCallback>(value);
        shown = "callback";
    } else {
        shown = formatArg(static_cast<const void*>(value));
    }
    h.log.record("panel.set", {formatArg(static_cast<const void*>(handle)), formatArg(tag), shown});
    return 0;
}

void* hostLookup(const char* name, int32_t use) {
    Host& h = Host::current();
    h.log.record("lookup", {formatArg(name), formatArg(use)});
    return name ? h.answerFor(name) : nullptr;
}

} // namespace

Host::Host(SceneModel sceneModel) : scene(std::move(sceneModel)) {
    itemInfo.first = itemFirst;
    itemInfo.next = itemNext;
    itemInfo.param = itemParam;
    lightInfo.ambient = lightAmbient;
    lightInfo.kind = lightKind;
    lightInfo.shadowKind = lightShadowKind;
    cameraInfo.zoom = cameraZoom;
    renderMemory.find = memoryFind;
    renderMemory.create = memoryCreate;
    gradientRecord_.release = gradientRelease;
    panelService_.create = panelCreate;
    panelService_.release = panelRelease;
    panelService_.run = panelRun;
    panelService_.set = panelSet;
    makeCurrent();
}

Host::~Host() {
    endRender();
    if (currentHost == this) currentHost = previous_;
}

Host& Host::current() {
    if (!currentHost) {
        std::fprintf(stderr, "refhost: the module called a host function while no host is running\n");
        std::abort();
    }
    return *currentHost;
}

void Host::makeCurrent() {
    if (currentHost == this) return;
    previous_ = currentHost;
    currentHost = this;
}

host::GlobalLookup Host::lookupFunction() { return hostLookup; }

const std::vector<std::string>& Host::requiredServiceNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const host::RequiredService& service : host::kRequiredServices) all.push_back(service.name);
        return all;
    }();
    return names;
}

const std::vector<std::string>& Host::optionalServiceNames() {
    static const std::vector<std::string> names = {
        host::kObjectAccessService, host::kObjectHelpService, host::kGradientService};
    return names;
}

void Host::withhold(const std::string& service) { withheld_.insert(service); }
void Host::provide(const std::string& service) { withheld_.erase(service); }

void Host::offerOptionalServices() {
    for (const std::string& name : optionalServiceNames()) offered_.insert(name);
}

std::vector<std::string> Host::lookups() const {
    std::vector<std::string> names;
    for (const Call& c : log.named("lookup")) names.push_back(c.args.at(0).substr(1, c.args.at(0).size() - 2));
    return names;
}

void* Host::answerFor(const std::string& name) {
    if (withheld_.count(name)) return nullptr;
    if (name == host::kInfoMessagesService) return infoMessages_.data();
    if (name == host::kSceneInfoService) return &scene.record;
    if (name == host::kItemInfoService) return &itemInfo;
    if (name == host::kLightInfoService) return &lightInfo;
    if (name == host::kCameraInfoService) return &cameraInfo;
    if (name == host::kObjectInfoService) return objectInfo_.data();
    if (name == host::kGlobalMemoryService) return globalMemory_.data();
    if (name == host::kRenderMemoryService) return &renderMemory;
    if (!offered_.count(name)) return nullptr;
    if (name == host::kObjectAccessService) return objectAccess_.data();
    if (name == host::kObjectHelpService) return objectHelp_.data();
    if (name == host::kGradientService) return &gradientRecord_;
    return nullptr;
}

void* Host::createRenderBlock(const std::string& key, int32_t size) {
    auto block = std::make_unique<std::byte[]>(static_cast<std::size_t>(size > 0 ? size : 1));
    void* data = block.get();
    blocks_[key] = std::move(block);
    return data;
}

void* Host::renderBlock(const std::string& key) const {
    auto it = blocks_.find(key);
    return it == blocks_.end() ? nullptr : it->second.get();
}

void Host::endRender() { blocks_.clear(); }

} // namespace refhost
