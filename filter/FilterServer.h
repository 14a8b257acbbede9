// Base of every image filter ("ImageFilterHandler"): the process entry hands a
// finished image to `process` at the image's time.
#pragma once

#include <cstdint>

#include "framework/Adaptors.h"
#include "framework/HandlerServer.h"
#include "host/HandlerTables.h"
#include "host/ImageAccess.h"
#include "host/ModuleRecords.h"

namespace velorastin {

class FilterServer : public HandlerServer {
public:
    // A prototype: names the server and registers its row (and, when asked, its
    // interface row) in the server table.
    FilterServer(const char* name, int32_t interfaceFlag, host::ActivateFunc activate);
    // An instance the host creates; registers nothing.
    FilterServer();

    ErrorText init() override;
    // Reads and writes the image of the current process call through `image`.
    virtual void process() = 0;

    const host::ImageAccess* image = nullptr;  // valid only during a process call
    int32_t flags = 0;
};

// Fills an "ImageFilterHandler" table for versions 1 and 2; 1 for any other version.
int32_t filterActivation(int32_t version, host::GlobalLookup lookup, void* table, void* serverData,
                         host::CreateEntry create) noexcept;

// The activation a concrete filter class registers.
template <class Filter>
int32_t filterActivationOf(int32_t version, host::GlobalLookup lookup, void* table, void* serverData) {
    return filterActivation(version, lookup, table, serverData, &createEntry<Filter>);
}

void filterProcessEntry(host::Instance instance, const host::ImageAccess* access) noexcept;
int32_t filterFlagsEntry(host::Instance instance) noexcept;

} // namespace velorastin
