#include "filter/FilterServer.h"

#include "framework/FloatingPoint.h"
#include "framework/SceneContext.h"
#include "framework/Services.h"
#include "module/ServerTable.h"
#include "panels/InterfaceActivation.h"

namespace velorastin {

FilterServer::FilterServer(const char* name, int32_t interfaceFlag, host::ActivateFunc activate) {
    serverName = name;
    if (registerServer(host::kImageFilterHandlerClass, name, activate) && interfaceFlag)
        registerServer(host::kImageFilterInterfaceClass, name, interfaceActivation);
}

FilterServer::FilterServer() = default;

ErrorText FilterServer::init() { return HandlerServer::init(); }

int32_t filterActivation(int32_t version, host::GlobalLookup lookup, void* table, void*,
                         host::CreateEntry create) noexcept {
    if (version < 1 || version > 2) return 1;
    auto* handler = static_cast<host::ImageFilterHandler*>(table);
    handler->create = create;
    handler->destroy = destroyEntry;
    handler->copy = copyEntry;
    handler->load = loadEntry;
    handler->save = saveEntry;
    handler->process = filterProcessEntry;
    handler->flags = filterFlagsEntry;
    if (version > 1) handler->describe = describeEntry;
    globalLookup = lookup;
    return 0;
}

namespace {
FilterServer* filterOf(host::Instance instance) { return static_cast<FilterServer*>(serverOf(instance)); }
} // namespace

void filterProcessEntry(host::Instance instance, const host::ImageAccess* access) noexcept {
    const FloatingPointGuard settings;
    FilterServer* filter = filterOf(instance);
    filter->image = access;
    filter->time = access->time;
    sceneContext.currentServer = filter;
    sceneContext.refresh();
    filter->process();
}

int32_t filterFlagsEntry(host::Instance instance) noexcept { return filterOf(instance)->flags; }

} // namespace velorastin
