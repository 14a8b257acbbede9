// The module's server table: filled while the library loads, read by the host
// through the descriptor, never changed afterwards.
#pragma once

#include <cstdint>

#include "host/ModuleRecords.h"

namespace velorastin {

struct ServerTable {
    // Row `count` is always the all-null ending row.
    host::ServerRecord rows[host::kServerTableRows];
    int32_t count;

    // Appends a row unless the same pair of pointers is present (the texts are
    // not compared). Returns 1 when added, 0 when already present or when the
    // table has no room left for the row and a new ending row.
    int32_t add(const char* className, const char* serverName, host::ActivateFunc activate);
};

extern ServerTable serverTable;  // zero in the library image

// Registers a server in the module's table (see ServerTable::add).
int32_t registerServer(const char* className, const char* serverName, host::ActivateFunc activate);

} // namespace velorastin
