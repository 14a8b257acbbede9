// The checks of what a host reads first: the library, its descriptor and its
// server table. The loader refuses a broken table with one message; these
// checks walk the records themselves with safe reads to name each broken rule.
#include <algorithm>
#include <map>
#include <sstream>

#include "refhost/check/Check.h"
#include "refhost/check/KnownServers.h"
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
    void* library = platform::openLibrary(path, true, error);
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

std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return text;
}

} // namespace

CheckDefinition loadCheck(const std::string& path) {
    return {"load", [path](std::string& reply) {
                std::string error;
                std::unique_ptr<Module> module = Module::load(path, error);
                std::string openError, symbolError;
                openDescriptor(path, openError, symbolError);
                reply = "opened\t" + printable(openError) + "\n";
                if (!module) fail(error);
                for (const ServerRow& row : module->rows())
                    reply += "row\t" + std::to_string(row.index) + "\t" + printable(row.className) + "\t" +
                             printable(row.serverName) + "\n";
            }};
}

LoadReply parseLoadReply(const std::string& reply) {
    LoadReply parsed;
    std::istringstream lines(reply);
    std::string line;
    while (std::getline(lines, line)) {
        // Every field, the empty ones too: an empty server name is the last field of its line.
        std::vector<std::string> fields;
        for (std::size_t start = 0;;) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (fields[0] == "opened") {
            parsed.opened = fields.size() < 2 || fields[1].empty();
            if (!parsed.opened) parsed.openError = fields[1];
        } else if (fields[0] == "row" && fields.size() == 4) {
            parsed.rows.push_back({std::stoi(fields[1]), fields[2], fields[3], fields[3]});
        }
    }
    // Check names name a row by its server name; rows that share one, or have
    // none, get their index too.
    std::map<std::string, int> uses;
    for (const RowFacts& row : parsed.rows) ++uses[row.serverName];
    for (RowFacts& row : parsed.rows)
        if (uses[row.serverName] > 1 || row.serverName.empty()) row.label += "#" + std::to_string(row.index);
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
