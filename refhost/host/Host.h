// The emulated host: answers a module's global-service lookups from a scene
// model, keeps render memory, offers the panel service, and records every
// call. Host functions carry no user-data argument, so they reach their state
// through the one current Host; a Host makes itself current while it lives.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/ModuleRecords.h"
#include "host/PanelService.h"
#include "host/ServiceRecords.h"
#include "refhost/host/CallLog.h"
#include "refhost/host/SceneModel.h"

namespace refhost {

// The panel service as a host would run it, with the answers tests choose.
struct PanelEmulation {
    bool createSucceeds = true;  // false: create returns 0
    int32_t runResult = 1;       // what run returns
    // While the panel runs, call the installed tag-7 callback with these
    // values when set.
    bool callCallbackDuringRun = false;
    intptr_t callbackFirst = 0, callbackSecond = 0;
    int32_t callbackThird = 0;
    int32_t lastCallbackResult = -1;
    // What the module handed over, read at the time of each call.
    host::PanelCallback installedCallback = nullptr;
    int32_t handlesCreated = 0;
    int32_t handlesReleased = 0;
};

class Host {
public:
    explicit Host(SceneModel scene = SceneModel::basic());
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host();

    // The host whose services answer right now. Aborts loudly when a module
    // calls a host function while no Host lives.
    static Host& current();
    void makeCurrent();

    // The GlobalLookup handed to activations.
    static host::GlobalLookup lookupFunction();

    // Service availability. Every name in allServiceNames() is answered unless
    // withheld; the optional ones only once offered.
    void withhold(const std::string& service);
    void provide(const std::string& service);  // undoes withhold
    void offerOptionalServices();               // the object-access pair and the gradient service
    static const std::vector<std::string>& requiredServiceNames();
    static const std::vector<std::string>& optionalServiceNames();

    // The names looked up so far, in order.
    std::vector<std::string> lookups() const;

    // Render memory: blocks live until endRender (or the Host's end).
    void endRender();
    void* renderBlock(const std::string& key) const;

    host::PanelService* panelService() { return &panelService_; }
    host::ReleasableService* gradientRecord() { return &gradientRecord_; }

    SceneModel scene;
    CallLog log;
    PanelEmulation panel;

    // Storage behind the service records; public so that tests can reach in.
    host::ItemInfo itemInfo{};
    host::LightInfo lightInfo{};
    host::CameraInfo cameraInfo{};
    host::RenderMemory renderMemory{};

    // What a lookup of `name` returns now (null for a withheld or unknown service).
    void* answerFor(const std::string& name);
    void* createRenderBlock(const std::string& key, int32_t size);

private:
    Host* previous_ = nullptr;
    std::set<std::string> withheld_;
    std::set<std::string> offered_;
    std::map<std::string, std::unique_ptr<std::byte[]>> blocks_;
    // Records the module acquires but never reads.
    std::array<uint32_t, 16> infoMessages_{}, objectInfo_{}, globalMemory_{}, objectAccess_{}, objectHelp_{};
    host::ReleasableService gradientRecord_{};
    host::PanelService panelService_{};
};

} // namespace refhost
