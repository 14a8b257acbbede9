// Host-callable entries shared by both handler kinds. Each recovers the
// instance, forwards to one virtual operation and converts the result; nothing
// is thrown across them.
#pragma once

#include <cstdint>
#include <new>

#include "framework/FloatingPoint.h"
#include "framework/HandlerServer.h"
#include "host/HandlerTables.h"

namespace velorastin {

inline HandlerServer* serverOf(host::Instance instance) { return static_cast<HandlerServer*>(instance); }
inline host::Instance instanceOf(HandlerServer* server) { return static_cast<host::Instance>(server); }

void destroyEntry(host::Instance instance) noexcept;
int32_t copyEntry(host::Instance source, host::Instance target) noexcept;
int32_t loadEntry(host::Instance instance, void* state) noexcept;
int32_t saveEntry(host::Instance instance, void* state) noexcept;
host::ErrorText initEntry(host::Instance instance) noexcept;
void cleanupEntry(host::Instance instance) noexcept;
const char* describeEntry(host::Instance instance) noexcept;

// Last step of every create entry: runs init (its error is not fatal) and
// afterCreate. Before any activation there is no host to serve the instance:
// the object is destroyed and null returned.
host::Instance finishCreate(HandlerServer* server) noexcept;

// The create entry of one concrete class: its default constructor names it and
// sets its class fields. An allocation failure yields null. The entries that
// compute (create, copy, newTime, evaluate, process) hold a FloatingPointGuard.
template <class Server>
host::Instance createEntry(void* /*hostData*/) noexcept {
    const FloatingPointGuard settings;
    Server* server = nullptr;
    try {
        server = new Server();
    } catch (...) {
        return nullptr;  // only when memory runs out, which no test provokes
    }
    return finishCreate(server);
}

} // namespace velorastin
