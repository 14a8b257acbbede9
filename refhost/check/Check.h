// The module validator behind `refhost check`. Every check runs in a child
// process of its own, which loads the module itself, so that a module that
// crashes or hangs costs one check and not the run. The parent learns the
// module's server rows from the load check and then runs the checks by area:
// table, activation and lifecycle, host services, shader, image filter, threads,
// and the reference call sequences of the servers this host knows. Every module
// is held to the interface's rules; the servers this host knows (RowFacts::known)
// to pluginServer.p's own design as well. CheckRules.cpp states which rule is which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/image/FencedRows.h"
#include "refhost/image/Image.h"
#include "refhost/platform/Platform.h"

namespace refhost {
class ImageJob;
}

namespace refhost::check {

// ---------------------------------------------------------------------------
// What the parent knows of the module before the row checks run.

struct RowFacts {
    int32_t index = 0;
    std::string className;
    std::string serverName;
    std::string label;  // the row's part of check names: its server name, made unique
    bool isShader() const { return className == host::kShaderHandlerClass; }
    bool isFilter() const { return className == host::kImageFilterHandlerClass; }
    // One of the servers this host knows ("VelorastinShader", "VelorastinFilter"
    // in their classes): held to pluginServer.p's own design as well as to the
    // interface's rules, which every row is held to.
    bool known() const;
};

struct ModuleFacts {
    std::string path;
    uint32_t seed = 1;
    std::vector<RowFacts> rows;  // every row of the table, in table order
    std::vector<RowFacts> handlerRows() const;  // the "ShaderHandler" and "ImageFilterHandler" rows
};

// ---------------------------------------------------------------------------
// Inside a check's child process.

// Thrown by a check's body and caught by the runner in the same child; never
// thrown while module code is on the stack.
struct CheckFailure {
    std::string text;
    std::string brief;  // a shorter line for the console when `text` is long, else empty
};
struct CheckSkip {
    std::string why;
};
[[noreturn]] void fail(const std::string& what);
// "what: expected X, saw Y"
[[noreturn]] void fail(const std::string& what, const std::string& expected, const std::string& seen);
[[noreturn]] void skip(const std::string& why);
// Notes something the interface allows but a module author should know of:
// the check goes on, and ends as WARN unless it fails.
void warn(const std::string& what);
// One failure naming every problem found. The reports and --verbose carry
// them all; the console line spells out the first three and counts the rest.
[[noreturn]] void failWith(const std::vector<std::string>& problems);

// Notes what the child is doing now; a crash or timeout report names the last note.
void stage(const std::string& what);

// What a module may not change in the process that loads it: the
// floating-point settings (also those an entry left, after which refhost put
// the defaults back), and every property platform::processProperties() names.
// The runner takes the baseline before each check's body; a check takes it
// again where its own load of the module ends (what loading changes is the
// load check's to report) and where it means to compare with another moment.
using ProcessBaseline = std::vector<platform::ProcessProperty>;
void takeProcessBaseline();
const ProcessBaseline& processBaseline();
void setProcessBaseline(ProcessBaseline baseline);
// Each difference from the baseline, naming `step` (what the module ran since:
// "load", "activation of row 0 (TinyShader)", "create of \"TinyShader\""),
// the property, and the value before and after; empty when there is none.
std::vector<std::string> processChanges(const std::string& step);
// Fails with processChanges(step), when there are any.
void holdProcessState(const std::string& step);

// A check's body. Returning normally is a pass; `reply` carries data back to
// the parent (the load check's rows).
using CheckBody = std::function<void(std::string& reply)>;

struct CheckDefinition {
    std::string name;
    CheckBody body;
    bool randomised = false;  // its cases come from the seed: --repeat runs it once per seed
    bool unloads = false;     // unloads the module while it runs: not for a module whose unloading never returns
};

// One check per handler row, named "AREA/<row>": a session of its own, then the
// row's driver bound with version 2 and handed to `shader` or `filter`.
std::vector<CheckDefinition> handlerRowChecks(const ModuleFacts& facts, const std::string& area,
                                              std::function<void(ShaderDriver&)> shader,
                                              std::function<void(FilterDriver&)> filter);

// The module's row for `facts`; fails when it is not the row the load check saw.
const ServerRow& rowOf(const Module& module, const RowFacts& facts);

// A new emulated host with the check scene and its call log off (it would grow
// with every call and lock on every thread), made current. It lives as long as
// the process: a module keeps the service records it looked up, and where the
// checks share one process (--no-fork) a later load of the module may be the
// same library, still holding them.
Host& lastingHost();

// A check's own load of the module, with a lasting host.
class Session {
public:
    explicit Session(const ModuleFacts& facts);  // Unload::AtExit, as a host keeps its modules
    const ServerRow& row(const RowFacts& facts) const { return rowOf(*module, facts); }

    Host& host;
    std::unique_ptr<Module> module;
};

// A scene with a camera and two lights, so that viewer tests have items to find.
SceneModel checkScene();
// A sample as a host hands it over for a point of item `item` in front of
// the check scene's camera, with the given colour.
host::SampleAccess surfaceSample(host::ItemId item, double red, double green, double blue);

// Activates the driver's row with version 2; skips the check when that does
// not fill the whole table or writes past it (the versions check reports why).
template <class Driver>
void bind(Driver& driver, const std::string& label) {
    const int32_t result = driver.activate(2);
    holdProcessState("activation of row " + std::to_string(driver.row.index) + " (" + label + ")");
    if (result != 0 || !unfilledSlots(driver.table).empty())
        skip("\"" + label + "\" does not bind with interface version 2 (see versions/" + label + ")");
    if (!driver.writtenGuards().empty())
        skip("\"" + label + "\" writes past its handler table when bound (see versions/" + label + ")");
}

// A created instance; fails the check when create gives none.
template <class Driver>
host::Instance createInstance(Driver& driver, const std::string& what) {
    host::Instance instance = driver.create();
    if (!instance) fail(what + ": the create entry returned null");
    return instance;
}

// The message an entry returned: "null", or the quoted text, or why it cannot be read.
std::string messageText(const char* message);
// Null, or a terminated text of at most 1,023 characters in readable memory:
// all the interface asks of init's and newTime's results.
bool readableMessage(const char* message);
std::string quoted(const std::string& text);
// The text for a console line: valid UTF-8 on one line, each control
// character a terminal would act on shown as U+FFFD.
std::string printable(const std::string& text);
// `text` with each control character and each byte that is no part of a
// UTF-8 character written as \xNN: reads the same on a console, in a report
// and on a command line.
std::string labelOf(const std::string& text);
std::string hex(uint32_t value);     // "0x0000002a"
std::string hexByte(uint8_t value);  // "0x2a"
std::string decimal(uint64_t value);  // with thousands separators: "100,000"

// The instance's allocation, as far as the heap tells its size.
std::vector<uint8_t> instanceBytes(host::Instance instance);

// The offset of the first byte in which two records differ; the size of a
// record when they are the same.
std::size_t firstDifference(const host::SampleAccess& a, const host::SampleAccess& b);
// A double for a report: "0.21763764082403103 (bits 0x3fcbdb0d7c7e8c5e)".
std::string doubleText(double value);
// One field of a host record, for naming the byte a report points at.
struct RecordField {
    std::size_t offset;
    const char* name;
};
// The field that holds byte `offset`: the last of `fields`, listed in order
// of offset, that starts at or before it (the first for an earlier byte).
const RecordField& fieldAt(std::span<const RecordField> fields, std::size_t offset);
// The name of the SampleAccess field that holds byte `offset`.
std::string sampleFieldAt(std::size_t offset);
// The double a shader may change at byte `offset` (a double's first byte):
// "colour component 1", "shading normal component 2", or "eta at offset 368".
std::string writableDoubleName(std::size_t offset);

// ---------------------------------------------------------------------------
// Shared by the areas.

// An image of seeded random bytes in all four channels.
Image randomImage(int32_t width, int32_t height, std::mt19937& random);
// A 256x1 image holding every byte value in every channel, each channel in another order.
Image everyByteImage();
// A fixed set of awkward records for a shader (the same on every run): colours
// and levels of 0, 1, everyday values, tiny, subnormal, huge, negative,
// infinite and not-a-number values, normals of every kind including zero
// length, and the items a host names (objects, the camera, lights, special
// items, none).
std::vector<host::SampleAccess> awkwardRecords();

// A full process call over `source`: fails unless every pixel was set exactly
// once (colour and alpha), nothing outside the image was asked for or set, a
// begun monitor was finished once, and, for a filter this host knows, every
// byte is the documented one.
// Also fails when the filter changed a byte of the source rows it was handed,
// began the monitor twice or after an advance. The rows are guard-paged
// (`fence`), so a touch before or past a row ends the check as a CRASH that
// names the row.
// It fails, too, when the filter changed the host's ImageAccess or
// ProgressMonitor record during the call.
struct FilterRun {
    Image output;
    int32_t advances = 0;       // calls of the monitor's advance
    int64_t beginTotal = 0;     // the total the monitor's begin was given
    int64_t advancedSteps = 0;  // the sum of the advance amounts
    // The call's records and rows, kept for expectLeftAlone, and its source.
    std::shared_ptr<const ImageJob> job;
    std::shared_ptr<const Image> source;
    std::string what;
};
FilterRun processFully(FilterDriver& filter, host::Instance instance, const Image& source, const std::string& what,
                       bool withMonitor = true, RowFence fence = RowFence::AfterRow);
// The records and rows a host lends a filter are its only for the one call:
// fails when those of `earlier`'s call changed after it returned, naming the
// record and field or the row, and `during`, the call made since.
void expectLeftAlone(const FilterRun& earlier, const std::string& during);

// ---------------------------------------------------------------------------
// The checks, by area. Each list holds the checks for the rows it concerns.

// "load" always runs first; its reply (read by parseLoadReply) tells whether
// the file opened and which rows its table holds.
CheckDefinition loadCheck(const std::string& path);
struct LoadReply {
    bool opened = false;     // dlopen worked and _mod_descrip is exported
    std::string openError;   // why not
    std::vector<RowFacts> rows;
};
LoadReply parseLoadReply(const std::string& reply);
CheckDefinition descriptorCheck(const std::string& path);
CheckDefinition tableCheck(const std::string& path);

std::vector<CheckDefinition> activationChecks(const ModuleFacts& facts);  // versions/<row>
std::vector<CheckDefinition> lifecycleChecks(const ModuleFacts& facts);   // lifecycle/...
std::vector<CheckDefinition> memoryChecks(const ModuleFacts& facts);      // memory/<row>, memory/load-cycles
// Loads the module anew (unloading it at the end), compares its table with
// the load check's, and creates and destroys one instance of every handler
// row, with the host made current last; fails when the process, once the
// module is unloaded, is not as it was before the load.
void loadAndExercise(const ModuleFacts& facts, const std::string& what);
std::vector<CheckDefinition> serviceChecks(const ModuleFacts& facts);     // services/...
std::vector<CheckDefinition> shaderChecks(const ModuleFacts& facts);      // shader/..., threads/<row>
std::vector<CheckDefinition> filterChecks(const ModuleFacts& facts);      // filter/...
std::vector<CheckDefinition> floatingPointChecks(const ModuleFacts& facts);  // fpenv/<row>
std::vector<CheckDefinition> sequenceChecks(const ModuleFacts& facts);    // shader/sequence/..., filter/sequence/...

// What each check holds a module to. The interface's rules bind every module:
// what a host relies on. pluginServer.p's own design (its eight lookups and
// their texts, its describe text inside the instance, its exact results and
// call sequences) binds only the servers this host knows.
enum class Binds { EveryModule, KnownServers };
struct Rule {
    Binds binds;
    const char* text;  // the rule in one sentence
};
struct CheckKind {
    const char* name;  // the check's name, <row> or <service> standing for the part that varies
    const char* area;
    const char* summary;  // what it holds in one line, as --list prints it
    std::vector<Rule> rules;
};
// Every kind of check, in the order they run.
const std::vector<CheckKind>& checkKinds();
// The kind of the check named `checkName`; null when none is declared.
const CheckKind* kindOf(const std::string& checkName);
// "every module", "VelorastinShader / VelorastinFilter only"
std::string bindsWord(Binds binds);

// The groups of checks that need a loaded module, for the report when it cannot be loaded.
const std::vector<std::string>& dependentGroups();

// ---------------------------------------------------------------------------
// The parent: isolation and the report.

enum class Status { Pass, Warn, Fail, Crash, Timeout, Skip };
const char* statusWord(Status status);

struct Outcome {
    Status status = Status::Pass;
    std::string detail;  // what differed, how it ended, or why skipped
    std::string brief;   // the console's shorter form of a long detail, or empty
    std::string reply;
    bool reportedPass = false;  // the child reported PASS, whatever happened after
    bool stopped = false;       // a request to stop ended the child first: no result, no line
    // The child reported PASS or WARN and then did not end: its exit-time
    // work, the module's static destructors, does not return.
    bool exitHung = false;
    double seconds = 0.0;

    static Outcome of(Status status, std::string detail) {
        Outcome outcome;
        outcome.status = status;
        outcome.detail = std::move(detail);
        return outcome;
    }
};

// Runs `body` in a child process, killed after `timeoutSeconds` or on a
// request to stop (then the outcome is `stopped`). A fault in
// the child is reported with the faulting address, named as a row, channel
// and offset when it lies in a guard page of the rows handed to a filter.
// Where a child cannot be a copy of this process, it is refhost started again
// with `child`'s arguments and its input on standard input, which must make it
// call runAsChild with the same body.
struct ChildCommand {
    std::vector<std::string> arguments;
    std::string input;
};
// A child that reported and then does not end within `exitSeconds` (when not
// negative) is ended, and the result it reported stands; when negative, one
// that reported and does not end in its time limit is a FAIL naming the
// module's static destructors. Either way the outcome is exitHung.
Outcome runIsolated(const CheckBody& body, const ChildCommand& child, double timeoutSeconds, double exitSeconds = -1);
// The child's side: runs `body`, sends its result to the parent and ends the process.
[[noreturn]] void runAsChild(const CheckBody& body);
// Runs `body` in this process, for use under a debugger: a module that
// crashes or hangs takes the whole run with it, and no time limit applies.
Outcome runInProcess(const CheckBody& body);

class Report {
public:
    // `verbose`: the console lines carry whole details, not their brief forms.
    // `strict`: a warning fails the run, and the summary and both reports count
    // it as failed, so that they agree with the exit status.
    Report(bool verbose, bool strict) : verbose_(verbose), strict_(strict) {}
    // Prints the check's line at once; a stopped outcome is left out.
    void add(const std::string& name, const Outcome& outcome);
    // "seed N", the warned checks when there are any, and
    // "P passed, F failed[, S skipped]".
    void printSummary(uint32_t seed) const;
    // For a run that a request to stop cut short: "seed N" and "interrupted
    // during CHECK; P passed, F failed[, S skipped] before it".
    void printInterrupted(uint32_t seed, const std::string& during) const;
    // Nothing failed, crashed or timed out; under strict, nothing warned either.
    bool allPassed() const;
    // Whatever bytes the module's names and the details hold, the reports are
    // well-formed UTF-8 XML and valid UTF-8 JSON.
    bool writeJUnit(const std::string& path, const std::string& modulePath, uint32_t seed, std::string& error) const;
    bool writeJson(const std::string& path, const std::string& modulePath, uint32_t seed, std::string& error) const;

private:
    struct Entry {
        std::string name;
        Outcome outcome;
    };
    // Whether the entry fails the run: a failure, crash or timeout, and under strict a warning.
    bool fails(const Entry& entry) const;
    struct Counts {
        int passed = 0, warned = 0, failed = 0, skipped = 0;
    };
    Counts counts() const;
    std::string countsText() const;  // "P passed, F failed[, S skipped]"

    std::vector<Entry> entries_;
    bool verbose_;
    bool strict_;
};

} // namespace refhost::check
