// Loading a module file as a host does: the system loader, the exported descriptor and its
// words, the startup entry, and the server table up to its ending row.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/ModuleRecords.h"

namespace refhost {

struct ServerRow {
    int32_t index = 0;
    std::string className;
    std::string serverName;
    host::ActivateFunc activate = nullptr;
    const host::ServerRecord* record = nullptr;  // the row in the module's memory
};

class Module {
public:
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    // Calls the shutdown entry and unloads the library.
    ~Module();

    enum class Unload {
        // The library stays mapped after the Module ends; its static objects are
        // destroyed at process exit. What the module allocated stays reachable.
        AtExit,
        // The Module's end unloads the library (its static objects are
        // destroyed then), so that the same file can be loaded afresh.
        Now,
    };

    // Loads `path`. On failure returns null and sets `error` to one line naming
    // the file and the fault.
    static std::unique_ptr<Module> load(const std::string& path, std::string& error, Unload unload = Unload::AtExit);

    const std::string& path() const { return path_; }
    const host::ModuleDescriptor& descriptor() const { return *descriptor_; }
    uint32_t startupResult() const { return startupResult_; }
    const std::vector<ServerRow>& rows() const { return rows_; }

    // The row of a class and name, or the first row of the class when `name`
    // is empty; null when there is none.
    const ServerRow* find(const std::string& className, const std::string& name = "") const;

private:
    Module() = default;

    std::string path_;
    void* handle_ = nullptr;
    const host::ModuleDescriptor* descriptor_ = nullptr;
    uint32_t startupResult_ = 0;
    std::vector<ServerRow> rows_;
};

// Reads `size` bytes at `address` of this process without faulting; false when
// any of them is not readable.
bool readMemory(const void* address, void* out, std::size_t size);
// Reads a terminated text of at most `limit` characters; false when it is not
// readable or not terminated within the limit.
bool readText(const char* address, std::size_t limit, std::string& out);

} // namespace refhost
