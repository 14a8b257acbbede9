// The checks of what a host reads first: the library, its descriptor and its
// server table. The loader refuses a broken table with one message; these
// checks walk the records themselves with safe reads to name each broken rule.
#include <algorithm>
#include <map>
#include <string_view>

#include "refhost/check/Check.h"
#include "refhost/check/KnownServers.h"
#include "refhost/host/Utf8.h"
#include "refhost/platform/Platform.h"

namespace refhost::check {

namespace {

constexpr std::size_t kNameCharacters = 63;  // a name must fit a 64-byte description
constexpr std::size_t kTextScanLimit = 4096;
constexpr char kEmptyText[] = "an empty text";

// The library opened and its `_mod_descrip`, without the loader's checks.
// Null with `error` set when the library does not open; `symbolError` is set
// when it opens but exports no descriptor.
const void* openDescriptor(const std::string& path, std::string& error, std::string& symbolError) {
    void* library = nullptr;
    {
        const DefaultFloatingPointAfter restore("static constructors");
        library = platform::openLibrary(path, true, error);
    }
    // What loading changes is the load check's to report.
    takeProcessBaseline();
    if (!library) return nullptr;
    void* symbol = platform::librarySymbol(library, "_mod_descrip");
    if (!symbol) symbolError = "the module exports no _mod_descrip";
    return symbol;
}

// The descriptor for the checks that read it; the descriptor check fails
// without one, the checks that depend on it skip.
enum class Missing { Fails, Skips };
const host::ModuleDescriptor* requireDescriptor(const std::string& path, Missing missing) {
    std::string error, symbolError;
    const void* symbol = openDescriptor(path, error, symbolError);
    if (!error.empty()) skip("the module does not open: " + error);
    if (!symbol && missing == Missing::Skips) skip("the module has no descriptor (see descriptor)");
    if (!symbol) fail("_mod_descrip", "an exported descriptor", "none (" + symbolError + ")");
    return static_cast<const host::ModuleDescriptor*>(symbol);
}

// Why the text at `text` is not a usable name, or empty when it is.
std::string nameProblem(const char* text) {
    if (!text) return "null";
    std::string name;
    for (std::size_t i = 0;; ++i) {
        if (i == kTextScanLimit) return "no terminator within " + decimal(kTextScanLimit) + " bytes";
        char c;
        if (!readMemory(text + i, &c, 1))
            return "unreadable memory at " + hex(reinterpret_cast<uintptr_t>(text + i));
        if (c == '\0') break;
        name.push_back(c);
    }
    if (name.empty()) return kEmptyText;
    if (name.size() > kNameCharacters)
        return std::to_string(name.size()) + " characters (" + quoted(name.substr(0, 24) + "...") + ")";
    return {};
}

// The reply's fields, each as its length in decimal, a colon and its bytes:
// a name may hold any byte, tabs and line ends too.
void putField(std::string& out, const std::string& text) { out += std::to_string(text.size()) + ":" + text; }

bool takeField(std::string_view& in, std::string& text) {
    const std::size_t colon = in.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 9) return false;
    std::size_t size = 0;
    for (const char c : in.substr(0, colon)) {
        if (c < '0' || c > '9') return false;
        size = size * 10 + static_cast<std::size_t>(c - '0');
    }
    in.remove_prefix(colon + 1);
    if (in.size() < size) return false;
    text.assign(in.substr(0, size));
    in.remove_prefix(size);
    return true;
}

} // namespace

// A row's part of check names is its server name as labelOf writes it.
std::string labelOf(const std::string& name) {
    static const char digits[] = "0123456789abcdef";
    std::string label;
    for (std::string_view rest(name); !rest.empty();) {
        const int n = utf8SequenceAt(rest);
        const bool control = controlAt(rest);
        const std::size_t size = static_cast<std::size_t>(n > 0 ? n : -n);
        for (std::size_t i = 0; i < size; ++i) {
            if (n > 0 && !control) {
                label += rest[i];
                continue;
            }
            const auto c = static_cast<unsigned char>(rest[i]);
            label += "\\x";
            label += digits[c >> 4];
            label += digits[c & 0xF];
        }
        rest.remove_prefix(size);
    }
    return label;
}

namespace {

// A warning for the first control character in a name: the interface allows
// it, but a host that lists, logs or parses names shows it badly.
void warnControlCharacter(const std::string& where, const char* what, const std::string& name) {
    const auto at = std::find_if(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (at != name.end())
        warn(where + ": the " + what + " " + quoted(labelOf(name)) + " holds the control character " +
             hexByte(static_cast<uint8_t>(*at)) + " at position " + std::to_string(at - name.begin()) +
             ": a host that lists, logs or parses names may show it badly");
}

} // namespace

CheckDefinition loadCheck(const std::string& path) {
    return {"load", [path](std::string& reply) {
                std::string error;
                std::unique_ptr<Module> module = Module::load(path, error);
                // Compared before openDescriptor, which takes the baseline anew.
                const std::vector<std::string> changes = module ? processChanges("load") : std::vector<std::string>{};
                std::string openError, symbolError;
                openDescriptor(path, openError, symbolError);
                putField(reply, "opened");
                putField(reply, openError);
                if (!module) fail(error);
                for (const ServerRow& row : module->rows()) {
                    putField(reply, "row");
                    putField(reply, std::to_string(row.index));
                    putField(reply, row.className);
                    putField(reply, row.serverName);
                }
                if (!changes.empty()) failWith(changes);
            }};
}

LoadReply parseLoadReply(const std::string& reply) {
    LoadReply parsed;
    std::string_view in(reply);
    for (std::string kind; takeField(in, kind);) {
        if (kind == "opened") {
            if (!takeField(in, parsed.openError)) break;
            parsed.opened = parsed.openError.empty();
            continue;
        }
        std::string index, className, serverName;
        if (kind != "row" || !takeField(in, index) || !takeField(in, className) || !takeField(in, serverName)) break;
        parsed.rows.push_back({std::stoi(index), className, serverName, labelOf(serverName)});
    }
    // Check names name a row by its server name; rows whose labels are the
    // same, or empty, get their index too.
    std::map<std::string, int> uses;
    for (const RowFacts& row : parsed.rows) ++uses[row.label];
    for (RowFacts& row : parsed.rows)
        if (uses[row.label] > 1 || row.label.empty()) row.label += "#" + std::to_string(row.index);
    return parsed;
}

CheckDefinition descriptorCheck(const std::string& path) {
    return {"descriptor", [path](std::string&) {
                const host::ModuleDescriptor* at = requireDescriptor(path, Missing::Fails);
                host::ModuleDescriptor d{};
                if (!readMemory(at, &d, sizeof d))
                    fail("_mod_descrip", decimal(sizeof d) + " readable bytes", "unreadable memory");
                std::vector<std::string> problems;
                auto expect = [&](bool ok, const std::string& what, const std::string& expected, const std::string& seen) {
                    if (!ok) problems.push_back(what + ": expected " + expected + ", saw " + seen);
                };
                expect(d.sync == host::kModuleSync, "synchronisation word", hex(host::kModuleSync), hex(d.sync));
                expect(d.version == host::kModuleVersion, "descriptor version", std::to_string(host::kModuleVersion),
                       std::to_string(d.version));
                expect(d.machine == host::kModuleMachine, "machine word", hex(host::kModuleMachine), hex(d.machine));
                expect(d.shutdown != nullptr, "shutdown entry", "a function", "null");
                expect(d.startup != nullptr, "startup entry", "a function", "null");
                if (d.startup) {
                    stage("the startup entry");
                    const uint32_t result = callEntry("startup", d.startup);
                    expect(result == 4, "startup entry's result", "4", std::to_string(result));
                }
                if (!problems.empty()) failWith(problems);
            }};
}

CheckDefinition tableCheck(const std::string& path) {
    return {"table", [path](std::string&) {
                const host::ModuleDescriptor* at = requireDescriptor(path, Missing::Skips);
                host::ModuleDescriptor d{};
                if (!readMemory(at, &d, sizeof d)) skip("the descriptor is not readable (see descriptor)");
                if (!d.servers) fail("the descriptor's table pointer", "the table's first row", "null");
                std::vector<std::string> problems;
                // A host tells rows apart by their name pointers, as the module's own
                // registration does: equal texts at other addresses make rows of their own.
                struct FirstRow {
                    int32_t index;
                    const char* className;
                    const char* serverName;
                };
                std::map<std::pair<std::string, std::string>, std::vector<FirstRow>> seen;
                for (int32_t i = 0;; ++i) {
                    const std::string where = "row " + std::to_string(i);
                    if (i == host::kServerTableRows) {
                        problems.push_back("expected an ending row (three null words) within " +
                                           std::to_string(host::kServerTableRows) + " rows, saw none");
                        break;
                    }
                    host::ServerRecord row{};
                    if (!readMemory(d.servers + i, &row, sizeof row)) {
                        problems.push_back(where + ": expected a readable row, saw unreadable memory at " +
                                           hex(reinterpret_cast<uintptr_t>(d.servers + i)));
                        break;
                    }
                    if (!row.className && !row.serverName && !row.activate) break;
                    const std::string classProblem = nameProblem(row.className);
                    const std::string serverProblem = nameProblem(row.serverName);
                    const std::string rule = "a terminated, non-empty text of at most " +
                                             std::to_string(kNameCharacters) + " characters";
                    // An empty name is said plainly, not as a breach of the whole rule.
                    if (classProblem == kEmptyText)
                        problems.push_back(where + ": the class name is empty: a host binds a row by its class");
                    else if (!classProblem.empty())
                        problems.push_back(where + ": class name: expected " + rule + ", saw " + classProblem);
                    if (serverProblem == kEmptyText)
                        problems.push_back(where +
                                           ": the server name is empty: a host lists a server and picks it by its name");
                    else if (!serverProblem.empty())
                        problems.push_back(where + ": server name: expected " + rule + ", saw " + serverProblem);
                    if (!row.activate) problems.push_back(where + ": activation function: expected a function, saw null");
                    if (!classProblem.empty() || !serverProblem.empty()) continue;
                    warnControlCharacter(where, "class name", row.className);
                    warnControlCharacter(where, "server name", row.serverName);
                    if (!knownClass(row.className))
                        warn(where + ": class " + quoted(row.className) + " is none of the classes a host knows (" +
                             knownClassList() + "), so no host binds " + quoted(row.serverName));
                    const auto pair = std::make_pair(std::string(row.className), std::string(row.serverName));
                    std::vector<FirstRow>& rows = seen[pair];
                    const auto same = std::find_if(rows.begin(), rows.end(), [&](const FirstRow& f) {
                        return f.className == row.className && f.serverName == row.serverName;
                    });
                    const std::string names = quoted(pair.first) + " / " + quoted(pair.second);
                    if (same != rows.end())
                        problems.push_back(where + ": expected a (class, name) pair of its own, saw " + names +
                                           " again at the same addresses (first in row " + std::to_string(same->index) + ")");
                    else if (!rows.empty())
                        warn(where + ": " + names + " again, as texts at other addresses than row " +
                             std::to_string(rows.front().index) + "'s: a host that compares the pointers keeps both rows, "
                             "one that compares the names sees one");
                    rows.push_back({i, row.className, row.serverName});
                }
                if (!problems.empty()) failWith(problems);
            }};
}

} // namespace refhost::check
