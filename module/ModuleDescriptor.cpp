// The one symbol the module exports.
#include "host/ModuleRecords.h"
#include "module/ServerTable.h"

namespace {

uint32_t moduleStartup() { return 4; }
void moduleShutdown() {}

} // namespace

extern "C" __attribute__((visibility("default"))) const host::ModuleDescriptor _mod_descrip = {
    host::kModuleSync,
    host::kModuleVersion,
    host::kModuleMachine,
    moduleStartup,
    moduleShutdown,
    velorastin::serverTable.rows,
};
