// Records through which a host finds a module's servers: the exported descriptor,
// the rows of the server table and the activation call that binds one row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

// Members of the host records align to at most 4 bytes, as in the 32-bit
// interface, so a double does not pad a record to a multiple of 8 on Windows.
#pragma pack(push, 4)

// Looks up one of the host's global services by name. The second argument is a
// use code; modules of this interface pass 0. Returns the service record or null.
using GlobalLookup = void* (*)(const char* serviceName, int32_t use);

// Called once per table row the host wants to bind.
//   version:   interface version the host speaks
//   lookup:    the host's GlobalLookup, valid for the life of the process
//   local:     for handler classes, the handler table the module fills;
//              for interface classes, the server instance whose panel is wanted
//   serverData: host-private word, never read by modules
// Returns 0 when bound, 1 for an unsupported version (handler classes), or the
// interface result (interface classes: 0 ran, 2 no panel).
using ActivateFunc = int32_t (*)(int32_t version, GlobalLookup lookup, void* local, void* serverData);

// One row of a module's server table. The ending row has all three words null.
struct ServerRecord {
    const char* className;   // host server class, e.g. "ShaderHandler"; constant text owned by the module
    const char* serverName;  // e.g. "VelorastinShader"; constant text owned by the module
    ActivateFunc activate;   // null only in the ending row
};
static_assert(sizeof(ServerRecord) == 12);
static_assert(offsetof(ServerRecord, className) == 0);
static_assert(offsetof(ServerRecord, serverName) == 4);
static_assert(offsetof(ServerRecord, activate) == 8);

inline constexpr uint32_t kModuleSync = 0x04121994u;
inline constexpr int32_t kModuleVersion = 2;
inline constexpr uint32_t kModuleMachine = 0x300u;
// A table has room for 256 servers and its ending row.
inline constexpr int32_t kServerTableRows = 257;

// The data record a module exports as `_mod_descrip`. Constant for the life of the module.
struct ModuleDescriptor {
    uint32_t sync;              // kModuleSync
    int32_t version;            // kModuleVersion
    uint32_t machine;           // kModuleMachine
    uint32_t (*startup)();      // called once after loading; returns a module word (4 for this interface)
    void (*shutdown)();         // called before unloading
    const ServerRecord* servers; // first row of the server table
};
static_assert(sizeof(ModuleDescriptor) == 24);
static_assert(offsetof(ModuleDescriptor, sync) == 0);
static_assert(offsetof(ModuleDescriptor, version) == 4);
static_assert(offsetof(ModuleDescriptor, machine) == 8);
static_assert(offsetof(ModuleDescriptor, startup) == 12);
static_assert(offsetof(ModuleDescriptor, shutdown) == 16);
static_assert(offsetof(ModuleDescriptor, servers) == 20);

inline constexpr const char kShaderHandlerClass[] = "ShaderHandler";
inline constexpr const char kImageFilterHandlerClass[] = "ImageFilterHandler";
inline constexpr const char kShaderInterfaceClass[] = "ShaderInterface";
inline constexpr const char kImageFilterInterfaceClass[] = "ImageFilterInterface";

#pragma pack(pop)

} // namespace host
