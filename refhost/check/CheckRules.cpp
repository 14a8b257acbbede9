// What each check holds a module to, declared once: `--list` prints each
// check's rule in one line, `--rules` its rules in full, and docs/checks.md
// tables both. A rule of the interface holds for every module; one of
// pluginServer.p's own design only for the servers this host knows, and the
// check's code asks RowFacts::known() before it holds a row to it.
#include <algorithm>

#include "refhost/check/Check.h"
#include "refhost/check/KnownServers.h"

namespace refhost::check {

namespace {

constexpr Binds kEvery = Binds::EveryModule;
constexpr Binds kKnown = Binds::KnownServers;

const Rule kWithheldKnown{kKnown,
                          "init and newTime return the documented message of the first withheld service in the order "
                          "of the eight lookups, and null once every service is back"};
const Rule kMessageOffered{kEvery,
                           "a shader whose newTime answers a message with every service this host offers cannot run "
                           "here, and the check skips"};
const Rule kMessageNull{kKnown, "newTime returns null with every service present"};
// Compared in every check (at its end) and in these after each step.
const Rule kProcessKept{kEvery,
                        "every activation and entry call leaves the process as it was found: the x87 and SSE "
                        "settings, every signal's disposition, the C locale, the working folder, the environment, the "
                        "number of threads and the open descriptors (on Windows: handles)"};

} // namespace

const std::vector<CheckKind>& checkKinds() {
    static const std::vector<CheckKind> kinds = {
        {"load", "module",
         "the file loads as a 32-bit library of this system that exports _mod_descrip, and the loader accepts it",
         {{kEvery, "the file loads as a library of this system's 32-bit format, exports _mod_descrip, and the loader "
                   "accepts its descriptor and server table"},
          {kEvery, "the module's static destructors return, so that a process that loaded it ends; once they are "
                   "known not to, every other check is ended soon after it reports and lifecycle/reload skips"},
          {kEvery, "the module prints nothing on standard output or error, where a host gives it no console: in this "
                   "and every other check, what it printed is a warning that quotes it"},
          {kEvery, "loading (static constructors, startup) leaves the process as it was found, as every check's steps "
                   "do"}}},
        {"descriptor", "module",
         "the descriptor holds the words a host expects, and its startup entry returns 4",
         {{kEvery, "the descriptor holds the synchronisation word, version and machine word a host expects and two "
                   "entries, and its startup entry returns 4"}}},
        {"table", "module",
         "the server table ends within 257 rows, each row with a class, a server name and an activation function",
         {{kEvery, "the table ends with three null words within 257 rows, every row has a terminated, non-empty class "
                   "and server name of at most 63 characters and an activation function, and no pair of name "
                   "pointers comes twice"},
          {kEvery, "a class no host knows, equal names at other addresses and a control character in a name are "
                   "warnings"}}},
        {"versions/<row>", "activation",
         "activation binds versions 1 and 2 alone, fills the handler table, and writes nothing past it",
         {{kEvery, "versions 0, 3, -1, 1000 and 2147483647 return 1, leave the handler table untouched and the lookup "
                   "they were given unkept; versions 1 and 2 return 0 and fill every entry, version 1 all but "
                   "describe; no activation writes past the table"},
          kProcessKept}},
        {"lifecycle/cycles/<row>", "lifecycle",
         "1,000 create and destroy cycles run without a fault, and create never returns null",
         {{kEvery, "1,000 create and destroy cycles run without a fault, and create never returns null"}, kProcessKept}},
        {"lifecycle/shuffle/<row>", "lifecycle",
         "instances created, copied and destroyed in a seeded order stay apart, and copy returns 0",
         {{kEvery, "64 instances created, copied and destroyed in a seeded order: create never returns a live "
                   "instance and copy returns 0"},
          {kEvery, "no block is freed twice: glibc ends the check; on Windows, whose C runtime lets it pass, a free of "
                   "a block no heap holds as allocated, or a heap that fails the system's validation, fails this check "
                   "and any other, naming the stage"}}},
        {"lifecycle/destroy-null/<row>", "lifecycle",
         "destroy of a null instance does nothing",
         {{kEvery, "destroy of a null instance does nothing"}}},
        {"lifecycle/copy-null/<row>", "lifecycle",
         "copy with a null source or target returns 0 and changes nothing",
         {{kEvery, "copy with a null source or a null target returns 0 and leaves the instance it was given "
                   "unchanged"}}},
        {"lifecycle/describe/<row>", "lifecycle",
         "describe returns a text of at most 64 bytes in memory that outlives the call",
         {{kEvery, "describe returns a text that ends within 64 bytes, in memory that outlives the call: the instance "
                   "or the module's own constants and static data, not the stack or freed memory"},
          {kKnown, "the text lies inside the instance, and describe writes nothing of the instance outside the text's "
                   "64 bytes"}}},
        {"lifecycle/copy-across", "lifecycle",
         "copy between instances of two servers returns 0 and changes neither",
         {{kKnown, "the copy entry given an instance of another server returns 0 and changes neither instance"}}},
        {"lifecycle/reload", "lifecycle",
         "unloaded and loaded again, the module has the same table and its rows still work",
         {{kEvery, "unloaded and loaded again, the module has the same table and every handler row creates and "
                   "destroys an instance"},
          {kEvery, "once unloaded, the module leaves the process as it was before the load"}}},
        {"memory/<row>", "memory",
         "the heap in use does not grow over many create, destroy, evaluate, newTime and process calls",
         {{kEvery, "after a warm-up the heap in use grows by at most 4,096 bytes over 1,000 create and destroy "
                   "cycles, over 10,140 evaluate and newTime calls, and over 500 process calls"}}},
        {"memory/load-cycles", "memory",
         "loading and unloading the module again and again grows no heap and leaves nothing behind",
         {{kEvery, "after two warm-up loads the heap in use grows by at most 65,536 bytes over 20 cycles of loading, "
                   "a create and destroy of every handler row and unloading, and each cycle leaves the process as it "
                   "was before the load"}}},
        {"services/without/<service>", "services",
         "with this service withheld nothing crashes, and every entry still answers as it may",
         {{kEvery, "with the service withheld nothing crashes, a shader's init and newTime return null or a readable "
                   "text, and an image filter still sets every pixel once"},
          kWithheldKnown}},
        {"services/without-all", "services",
         "with every service withheld nothing crashes, and every entry still answers as it may",
         {{kEvery, "with every service withheld nothing crashes, a shader's init and newTime return null or a "
                   "readable text, and an image filter still sets every pixel once"},
          kWithheldKnown}},
        {"services/random", "services",
         "with services withheld at random over 1,000 runs nothing crashes, and every entry still answers",
         {{kEvery, "over 1,000 seeded runs withholding each service with probability 0.1, nothing crashes, a "
                   "shader's init and newTime return null or a readable text, and an image filter still sets every "
                   "pixel once"},
          kWithheldKnown}},
        {"shader/evaluate/<row>", "shader",
         "evaluate writes only the fields a shader may change, and nothing around the record",
         {{kEvery, "over 100,000 seeded records of awkward values, evaluate changes no byte of the 400-byte record "
                   "outside offsets 280 to 383 and no guard byte around it"},
          {kEvery, "each call has a record of its own, which is the shader's only during that call: no byte of it or "
                   "its guards changes while the next three calls run"},
          {kEvery, "a unit shading normal comes back unit length within 1e-6, and a record of an everyday surface "
                   "gets back only finite values, or the check warns"},
          kMessageOffered, kMessageNull}},
        {"shader/reference/<row>", "shader",
         "each colour component becomes pow(c, 2.2) of the C library, bit for bit, and nothing else changes",
         {{kKnown, "every record bit for bit as documented: each colour component pow(c, 2.2) of the C library, "
                   "special items untouched, nothing else changed"}}},
        {"threads/<row>", "threads",
         "one instance per thread on four threads at once gives what one thread gives, bit for bit",
         {{kEvery, "instances made as a host makes one per thread (create, copy, newTime) give on four threads at "
                   "once what one instance gives on one, bit for bit"},
          kMessageOffered, kMessageNull}},
        {"filter/process/<row>", "filter",
         "every pixel set once, nothing outside the image or a row touched, the monitor begun and finished once",
         {{kEvery, "at awkward sizes, rows between guard pages: every pixel set exactly once, nothing outside the "
                   "image asked for, no source byte changed or touch past a row, the monitor begun at most once, "
                   "before any advance, and finished once"},
          {kEvery, "the host's ImageAccess and ProgressMonitor records are left as they were handed over, and a "
                   "call's records and source rows, the filter's only during that call, stay unchanged through the "
                   "next call"},
          {kKnown, "every output byte is the documented one"}}},
        {"filter/negative/<row>", "filter",
         "a negative width or height crashes nothing and sets no pixel",
         {{kEvery, "with a negative width or height, whatever the monitor answers, nothing crashes and no pixel is "
                   "set"}}},
        {"filter/abort/<row>", "filter",
         "a nonzero advance answer stops process at once: nothing read or written after it, no finish",
         {{kEvery, "any nonzero answer of advance stops the filter at once: no row, pixel or monitor call after it, "
                   "no finish, and the instance then filters as a fresh one; a filter that never advances is a "
                   "warning"}}},
        {"filter/progress/<row>", "filter",
         "the total given to begin covers the steps advanced",
         {{kEvery, "the total given to begin covers the steps advanced, or the check warns"},
          {kKnown, "the total is the image's height"}}},
        {"filter/reference/<row>", "filter",
         "all 256 values of every channel give the documented bytes, alpha passed through",
         {{kKnown, "all 256 values of every channel give the documented bytes, alpha passed through"}}},
        {"fpenv/<row>", "fpenv",
         "no result follows the host's x87 and SSE settings, and every entry gives them back as it found them",
         {{kEvery, "under four other x87 and SSE settings every result is bit for bit the one under the defaults, and "
                   "every entry returns with the settings it was called with"},
          {kEvery, "loading leaves the settings as they were (load reports it), and so does every activation"}}},
        {"shader/sequence/<row>", "sequence",
         "a scripted session calls the host as the host's model does, call by call",
         {{kKnown, "a scripted session matches, call by call with arguments and results, the sequence of the host's "
                   "model: the eight lookups of every init and newTime, the scene refresh, the registry, evaluate "
                   "calling nothing"}}},
        {"filter/sequence/<row>", "sequence",
         "two processed images call the host as the host's model does, call by call",
         {{kKnown, "two processed images match, call by call, the sequence of the host's model: the refresh at the "
                   "image's time, begin with the height, rows ascending with planes 32 to 35, colour then alpha of "
                   "every pixel with the documented bytes, advance(1), finish"}}},
    };
    return kinds;
}

const CheckKind* kindOf(const std::string& checkName) {
    const std::vector<CheckKind>& kinds = checkKinds();
    // A check of its own name ("memory/load-cycles") before one whose row varies ("memory/<row>").
    const auto exact = std::find_if(kinds.begin(), kinds.end(), [&](const CheckKind& k) { return checkName == k.name; });
    if (exact != kinds.end()) return &*exact;
    const auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const CheckKind& k) {
        const std::string name = k.name;
        const std::size_t varies = name.find('<');
        return varies == std::string::npos ? checkName == name : checkName.rfind(name.substr(0, varies), 0) == 0;
    });
    return kind == kinds.end() ? nullptr : &*kind;
}

std::string bindsWord(Binds binds) {
    if (binds == Binds::EveryModule) return "every module";
    return std::string(kLinearizeShaderName) + " / " + kDisplayEncodeFilterName + " only";
}

} // namespace refhost::check
