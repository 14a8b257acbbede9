#include "refhost/host/Module.h"

#include <cstdio>
#include <cstring>

#include "refhost/host/EntryCall.h"
#include "refhost/host/FloatingPointState.h"
#include "refhost/host/ModuleFault.h"
#include "refhost/platform/Platform.h"

namespace refhost {

bool readMemory(const void* address, void* out, std::size_t size) { return platform::readMemory(address, out, size); }

bool readText(const char* address, std::size_t limit, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i <= limit; ++i) {
        char c;
        if (!readMemory(address + i, &c, 1)) return false;
        if (c == '\0') return true;
        out.push_back(c);
    }
    return false;
}

namespace {

// A library built for the other system, named by its first bytes: what the
// loader's own message would not say. Empty for any other file.
std::string otherSystemsLibrary(const std::string& path) {
    unsigned char head[4] = {};
    std::size_t got = 0;
    std::string ignored;
    if (FILE* file = platform::openForReading(path, ignored)) {
        got = std::fread(head, 1, sizeof head, file);
        std::fclose(file);
    }
    const bool elf = got == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0;
    const bool portableExecutable = got >= 2 && head[0] == 'M' && head[1] == 'Z';
    const platform::LibraryFormat native = platform::libraryFormat();
    if (portableExecutable && native != platform::LibraryFormat::PortableExecutable)
        return "is a Windows DLL; load it with refhost.exe";
    if (elf && native != platform::LibraryFormat::Elf)
        return "is a Linux shared object; load it with the Linux refhost";
    return {};
}

std::string hex(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", value);
    return buffer;
}

constexpr std::size_t kNameLimit = 255;

} // namespace

std::unique_ptr<Module> Module::load(const std::string& path, std::string& error, Unload unload) {
    auto fail = [&](const std::string& fault) {
        error = path + ": " + fault;
        return nullptr;
    };
    std::string reason;
    const platform::FileKind kind = platform::fileKind(path, reason);
    if (kind == platform::FileKind::Missing) return fail("cannot open: " + reason);
    if (kind != platform::FileKind::Regular) return fail("not a regular file");

    std::unique_ptr<Module> module(new Module());
    module->path_ = path;
    // Loading runs the module's static construction and its startup entry:
    // the defaults come back after each, and settings either left are noted.
    {
        const EntryInProgress inProgress("static constructors");
        const DefaultFloatingPointAfter restore;
        module->handle_ = platform::openLibrary(path, unload == Unload::AtExit, reason);
    }
    if (!module->handle_) {
        const std::string foreign = otherSystemsLibrary(path);
        return fail(foreign.empty() ? "not a loadable 32-bit shared object: " + reason : foreign);
    }
    void* symbol = platform::librarySymbol(module->handle_, "_mod_descrip");
    if (!symbol) return fail("the module exports no _mod_descrip");

    host::ModuleDescriptor d{};
    if (!readMemory(symbol, &d, sizeof d)) return fail("_mod_descrip is not readable");
    if (d.sync != host::kModuleSync)
        return fail("wrong synchronisation word " + hex(d.sync) + " (expected " + hex(host::kModuleSync) + ")");
    if (d.version != host::kModuleVersion)
        return fail("unsupported descriptor version " + std::to_string(d.version) + " (expected " +
                    std::to_string(host::kModuleVersion) + ")");
    if (d.machine != host::kModuleMachine)
        return fail("wrong machine word " + hex(d.machine) + " (expected " + hex(host::kModuleMachine) + ")");
    if (!d.startup) return fail("the startup entry is null");
    module->descriptor_ = static_cast<const host::ModuleDescriptor*>(symbol);
    int32_t moved = 0;
    {
        const EntryInProgress inProgress("startup");
        const DefaultFloatingPointAfter restore;
        module->startupResult_ = callEntryMeasured(moved, d.startup);
    }
    if (moved) return fail(stackMovedText("startup", moved));

    for (int32_t i = 0;; ++i) {
        if (i >= host::kServerTableRows)
            return fail("the server table has no ending row within " + std::to_string(host::kServerTableRows) +
                        " rows");
        const host::ServerRecord* at = d.servers + i;
        host::ServerRecord row{};
        if (!readMemory(at, &row, sizeof row)) return fail("server table row " + std::to_string(i) + " is not readable");
        if (!row.className && !row.serverName && !row.activate) break;
        ServerRow r;
        r.index = i;
        r.record = at;
        r.activate = row.activate;
        if (!row.className || !readText(row.className, kNameLimit, r.className))
            return fail("server table row " + std::to_string(i) + " has no readable class name");
        if (!row.serverName || !readText(row.serverName, kNameLimit, r.serverName))
            return fail("server table row " + std::to_string(i) + " has no readable server name");
        if (!row.activate) return fail("server table row " + std::to_string(i) + " has a null activation function");
        module->rows_.push_back(std::move(r));
    }
    return module;
}

Module::~Module() {
    if (!handle_) return;
    const DefaultFloatingPointAfter restore("shutdown and static destructors");
    int32_t moved = 0;
    if (descriptor_ && descriptor_->shutdown) {
        const EntryInProgress inProgress("shutdown");
        callEntryMeasured(moved, descriptor_->shutdown);
    }
    if (moved) noteLateFault(path_ + ": " + stackMovedText("shutdown", moved));
    const EntryInProgress inProgress("static destructors");
    platform::closeLibrary(handle_);
}

const ServerRow* Module::find(const std::string& className, const std::string& name) const {
    for (const ServerRow& r : rows_)
        if (r.className == className && (name.empty() || r.serverName == name)) return &r;
    return nullptr;
}

} // namespace refhost
