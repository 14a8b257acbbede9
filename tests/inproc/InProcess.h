// Shared pieces of the in-process tests: the module-wide state as a freshly
// loaded module has it, an emulated host, and a filter class that counts what
// the framework does to it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/FilterServer.h"
#include "framework/SceneContext.h"
#include "framework/Services.h"
#include "panels/InterfaceActivation.h"
#include "refhost/host/Host.h"
#include "servers/DisplayEncodeFilter.h"

namespace inproc {

// ctest runs every test in its own process; resetting here keeps a run of the
// whole binary in one process honest as well.
inline void resetModuleState() {
    using namespace velorastin;
    globalLookup = nullptr;
    infoMessages = objectInfo = globalMemory = objectAccess = objectHelp = nullptr;
    sceneInfo = nullptr, itemInfo = nullptr, lightInfo = nullptr, cameraInfo = nullptr;
    renderMemory = nullptr, panelInstance = nullptr;
}

// A filter whose operations only count, or fail.
class ProbeFilter : public velorastin::FilterServer {
public:
    static constexpr char kName[] = "ProbeFilter";
    using FilterServer::FilterServer;  // prototype construction
    ProbeFilter() { serverName = kName; }
    ~ProbeFilter() override { ++destroyed; }
    void process() override { ++processed; }
    void prepareTime() override { ++prepared; }
    void afterCreate() override { ++afterCreates; }
    velorastin::ErrorText load(void* state) override {
        states.push_back(state);
        return "probe cannot load";
    }
    velorastin::ErrorText save(void* state) override {
        states.push_back(state);
        return "probe cannot save";
    }

    static inline int destroyed = 0;
    int processed = 0, prepared = 0, afterCreates = 0;
    std::vector<void*> states;  // what each load and save was handed, in order
};

class InProcess : public ::testing::Test {
protected:
    void SetUp() override {
        resetModuleState();
        ProbeFilter::destroyed = 0;
    }

    // Binds the image filter class as the host would, which also gives the
    // module its GlobalLookup.
    int32_t activateFilter(int32_t version = 2) {
        return velorastin::filterActivationOf<velorastin::DisplayEncodeFilter>(
            version, refhost::Host::lookupFunction(), &filterTable, nullptr);
    }

    template <class Server>
    Server* create() {
        return static_cast<Server*>(velorastin::createEntry<Server>(nullptr));
    }

    refhost::Host hostEmu;
    ::host::ImageFilterHandler filterTable{};
};

// A copy per file, not an inline variable: MinGW's linker warns of an inline
// variable whose copies are padded to different sizes.
const std::vector<std::string> kRequiredLookups = {
    "Info Messages", "LW Scene Info", "LW Item Info",  "LW Light Info",
    "LW Camera Info", "LW Object Info", "Global Memory", "Global Render Memory",
};

} // namespace inproc
