// A trace of every call that crosses the boundary between the host and one
// module: the host's calls of module entries (recorded by the handler drivers)
// and the module's calls of host services (recorded by the Host's service
// functions), in one CallLog, each with its arguments and result. Only one
// trace runs at a time, since host functions carry no user data.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/ModuleRecords.h"
#include "refhost/host/FloatingPointState.h"
#include "refhost/host/Host.h"

namespace refhost {

class Trace {
public:
    // Turns the host's call log on and makes its service functions record
    // what they return; the destructor puts the host's functions back.
    explicit Trace(Host& host);
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    ~Trace();

    // The GlobalLookup to hand to activations: the host's, with its results recorded.
    static host::GlobalLookup lookupFunction();

    // A module entry the host is about to call; `returned` adds its result.
    long entered(const std::string& entry, std::vector<std::string> args);
    void returned(long index, std::string result);
    // The same, and notes the floating-point settings the entry left when
    // they differ from those the host set before calling it.
    void returned(long index, std::string result, const FloatingPointState& set, const FloatingPointState& left);

    // "instance 1", "instance 2", ... in the order the module handed them out;
    // "null" for none.
    std::string instanceName(const void* instance);
    // A message an entry returned: null or the quoted text.
    static std::string messageText(const char* message);

    Host& host;

private:
    std::map<const void*, int> instances_;
    // The host's own service functions, which the traced ones call.
    host::ItemInfo itemInfo_;
    host::LightInfo lightInfo_;
    host::CameraInfo cameraInfo_;
    host::RenderMemory renderMemory_;
};

} // namespace refhost
