#include "panels/InterfaceActivation.h"

#include "framework/HandlerServer.h"
#include "panels/OptionPanel.h"

namespace velorastin {

HandlerServer* panelInstance = nullptr;
int32_t scratchValue = 0;

namespace {
constexpr int32_t kNoPanel = 2;
} // namespace

int32_t interfaceActivation(int32_t, host::GlobalLookup, void* instance, void*) {
    auto* server = static_cast<HandlerServer*>(instance);
    panelInstance = server;
    if (!server) return kNoPanel;
    server->init();
    if (!server->optionPanel) return kNoPanel;
    return server->optionPanel->open();
}

int32_t panelCallback(intptr_t, intptr_t second, int32_t third) {
    if (!panelInstance || !panelInstance->optionPanel) return 0;
    return panelInstance->optionPanel->notifyAll(second, third);
}

} // namespace velorastin
