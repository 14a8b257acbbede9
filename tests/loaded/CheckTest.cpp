// `refhost check` run as a program: it passes the built module, and it names
// the broken rule of every planted-fault fixture.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "refhost/host/Utf8.h"
#include "tests/loaded/LoadedModule.h"

namespace {

namespace fs = std::filesystem;

struct CheckRun {
    int exitStatus = -1;
    std::string output;  // stdout: one line per check, then the seed and the counts

    bool hasLine(const std::string& status, const std::string& check) const { return detailOf(status, check).has_value(); }
    // What the line of `check` with `status` says after the check's name.
    std::optional<std::string> detailOf(const std::string& status, const std::string& check) const {
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(status + " ", 0) != 0) continue;
            const std::string rest = line.substr(line.find_first_not_of(' ', status.size()));
            if (rest == check) return std::string();
            if (rest.rfind(check + ": ", 0) == 0) return rest.substr(check.size() + 2);
        }
        return std::nullopt;
    }
    std::string lineBeforeLast() const {
        std::string trimmed = output.substr(0, output.find_last_not_of('\n') + 1);
        trimmed = trimmed.substr(0, trimmed.rfind('\n'));
        return trimmed.substr(trimmed.rfind('\n') + 1);
    }
    int linesWith(const std::string& status) const {
        std::istringstream lines(output);
        int count = 0;
        for (std::string line; std::getline(lines, line);) count += line.rfind(status + " ", 0) == 0;
        return count;
    }
    std::string lastLine() const {
        std::string trimmed = output.substr(0, output.find_last_not_of('\n') + 1);
        return trimmed.substr(trimmed.rfind('\n') + 1);
    }
};

CheckRun runCheck(const std::string& module, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args{"check", module};
    args.insert(args.end(), options.begin(), options.end());
    const testing_support::CommandResult result = testing_support::runRefhost(args);
    return {result.exitCode, result.out};
}

std::string fixture(const std::string& name) { return std::string(FIXTURE_DIR) + "/" + name + ".p"; }

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::regex kSummary(R"((\d+) passed, (\d+) failed(, \d+ skipped)?)");

TEST(CheckCommand, PassesTheBuiltModuleAndWritesItsJUnitReport) {
    const testing_support::TempFolder dir;
    const std::string report = dir.file("check.xml");
    const CheckRun run = runCheck(testing_support::modulePath(), {"--junit", report});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.linesWith("FAIL") + run.linesWith("CRASH") + run.linesWith("TIMEOUT") + run.linesWith("SKIP"), 0)
        << run.output;
    for (const char* check :
         {"load", "descriptor", "table", "versions/VelorastinShader", "versions/VelorastinFilter",
          "lifecycle/cycles/VelorastinShader", "lifecycle/shuffle/VelorastinFilter", "lifecycle/destroy-null/VelorastinFilter",
          "lifecycle/copy-null/VelorastinShader", "lifecycle/copy-null/VelorastinFilter",
          "lifecycle/describe/VelorastinShader", "lifecycle/copy-across", "lifecycle/reload", "memory/VelorastinShader",
          "memory/VelorastinFilter", "memory/load-cycles", "fpenv/VelorastinShader", "fpenv/VelorastinFilter",
          "services/without/LW Camera Info", "services/without-all", "services/random", "shader/evaluate/VelorastinShader",
          "shader/reference/VelorastinShader", "threads/VelorastinShader", "filter/process/VelorastinFilter",
          "filter/negative/VelorastinFilter", "filter/abort/VelorastinFilter", "filter/progress/VelorastinFilter",
          "filter/reference/VelorastinFilter", "shader/sequence/VelorastinShader", "filter/sequence/VelorastinFilter"})
        EXPECT_TRUE(run.hasLine("PASS", check)) << check << "\n" << run.output;
    EXPECT_EQ(run.linesWith("WARN"), 0) << run.output;
    EXPECT_EQ(run.lineBeforeLast(), "seed 1") << "no warnings line\n" << run.output;
    std::smatch counts;
    const std::string last = run.lastLine();
    ASSERT_TRUE(std::regex_match(last, counts, kSummary)) << last;
    EXPECT_EQ(counts[2], "0");
    EXPECT_NE(run.output.find("\nseed 1\n"), std::string::npos);

    // The report is complete and no temporary file is left beside it.
    const std::string xml = readFile(report);
    EXPECT_NE(xml.find("tests=\"" + counts[1].str() + "\" failures=\"0\" errors=\"0\" skipped=\"0\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("name=\"filter/abort/VelorastinFilter\""), std::string::npos) << xml;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"check.xml"});
}

TEST(CheckCommand, OnlyRunsTheChecksWhoseNameContainsTheText) {
    const CheckRun run = runCheck(testing_support::modulePath(), {"--only", "versions/", "--seed", "7"});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "versions/VelorastinShader")) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "versions/VelorastinFilter")) << run.output;
    EXPECT_FALSE(run.hasLine("PASS", "load")) << run.output;
    EXPECT_NE(run.output.find("\nseed 7\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.lastLine(), "2 passed, 0 failed");
}

TEST(CheckCommand, AFileThatDoesNotLoadFailsTheLoadCheckAndSkipsTheRest) {
    const CheckRun run = runCheck(std::string("/nonexistent/pluginServer.p"));
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    EXPECT_TRUE(run.hasLine("FAIL", "load")) << run.output;
    EXPECT_NE(run.output.find("cannot open"), std::string::npos) << run.output;
    for (const char* dependent :
         {"descriptor", "table", "versions", "lifecycle", "memory", "services", "shader", "filter", "threads", "fpenv"})
        EXPECT_TRUE(run.hasLine("SKIP", dependent)) << dependent << "\n" << run.output;
    EXPECT_EQ(run.lastLine(), "0 passed, 1 failed, 10 skipped");
}

TEST(CheckCommand, AReportThatCannotBeWrittenStopsBeforeAnyCheck) {
    const CheckRun run = runCheck(testing_support::modulePath(), {"--junit", "/nonexistent/folder/check.xml"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "");
}

// ---- planted faults ----

struct PlantedFault {
    const char* fixture;
    const char* status;  // the line that names the fault
    const char* check;
    const char* detail = "";  // a part of what that line says; * stands for any text (a code offset)
    const char* windowsStatus = "";  // the line's status on Windows, where it differs
    const char* options = "";  // more options of the run, apart by spaces
};

// Whether `text` holds the parts of `pattern` between its stars, in order.
bool holdsInOrder(const std::string& text, const std::string& pattern) {
    std::size_t at = 0;
    for (std::size_t from = 0; from <= pattern.size();) {
        const std::size_t star = std::min(pattern.find('*', from), pattern.size());
        at = text.find(pattern.substr(from, star - from), at);
        if (at == std::string::npos) return false;
        at += star - from;
        from = star + 1;
    }
    return true;
}

void PrintTo(const PlantedFault& fault, std::ostream* out) { *out << fault.fixture; }

constexpr const char* kSegmentationFault = "SIGSEGV (Segmentation fault)";

class CheckFlagsFixture : public testing::TestWithParam<PlantedFault> {};

TEST_P(CheckFlagsFixture, WithANonZeroExitAndTheBrokenCheckNamed) {
    const PlantedFault& fault = GetParam();
    const std::string path = fixture(fault.fixture);
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not built here";
    // A warning fails the run, and counts as failed, only with --strict.
    const char* status = testing_support::kWindows && *fault.windowsStatus ? fault.windowsStatus : fault.status;
    const bool warning = std::string(status) == "WARN";
    std::vector<std::string> options;
    if (warning) options.push_back("--strict");
    std::istringstream more(fault.options);
    for (std::string option; more >> option;) options.push_back(option);
    const CheckRun run = runCheck(path, options);
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    // No planted fault costs a check its time limit.
    EXPECT_EQ(run.linesWith("TIMEOUT"), 0) << run.output;
    const std::optional<std::string> detail = run.detailOf(status, fault.check);
    ASSERT_TRUE(detail) << status << " " << fault.check << "\n" << run.output;
    std::string expected = fault.detail;
    // A fault is an access violation on Windows, not a signal.
    if (const std::size_t at = expected.find(kSegmentationFault); testing_support::kWindows && at != std::string::npos)
        expected.replace(at, std::strlen(kSegmentationFault), "exception 0xC0000005 (access violation)");
    EXPECT_TRUE(holdsInOrder(*detail, expected)) << expected << "\n" << run.output;
    std::smatch counts;
    const std::string last = run.lastLine();
    ASSERT_TRUE(std::regex_match(last, counts, kSummary)) << last;
    EXPECT_NE(counts[2], "0") << last;
}

INSTANTIATE_TEST_SUITE_P(
    PlantedFaults, CheckFlagsFixture,
    testing::Values(PlantedFault{"bad_sync", "FAIL", "descriptor"}, PlantedFault{"no_end_row", "FAIL", "table"},
                    PlantedFault{"no_descriptor", "FAIL", "descriptor"}, PlantedFault{"not_32bit", "FAIL", "load"},
                    PlantedFault{"accepts_version_0", "FAIL", "versions/TinyFilter"},
                    PlantedFault{"empty_entries", "FAIL", "versions/TinyShader",
                                 "version 1: entries create (0), destroy (4), copy (8), load (12), save (16), init (20), "
                                 "cleanup (24), newTime (28), evaluate (32), flags (36): expected functions, saw the "
                                 "host's sentinel"},
                    PlantedFault{"describe_overflow", "FAIL", "lifecycle/describe/TinyFilter"},
                    PlantedFault{"missing_service_crash", "CRASH", "services/without/LW Scene Info"},
                    PlantedFault{"evaluate_outside", "FAIL", "shader/evaluate/TinyShader"},
                    PlantedFault{"process_ignores_abort", "FAIL", "filter/abort/TinyFilter"},
                    PlantedFault{"begin_width", "FAIL", "filter/sequence/VelorastinFilter",
                                 "call 20 (in the process entry): expected monitor.begin(3), saw monitor.begin(4)"},
                    PlantedFault{"rows_bottom_up", "FAIL", "filter/sequence/VelorastinFilter",
                                 "expected image.row(32, 0), saw image.row(32, 2)"},
                    PlantedFault{"stops_only_on_one", "FAIL", "filter/abort/TinyFilter",
                                 "stop answer -1 at advance 1 of 8: expected no row, pixel or monitor call after the stop"},
                    PlantedFault{"writes_source", "FAIL", "filter/process/TinyFilter",
                                 "source row 0 of channel 32, byte 0 (the filter writes only through the setters)"},
                    PlantedFault{"reads_past_row", "CRASH", "filter/process/TinyFilter",
                                 "SIGSEGV (Segmentation fault): the module touched channel 32 (red), row 0, offset 1, "
                                 "1 byte past the end of its 1 byte"},
                    PlantedFault{"reads_before_row", "CRASH", "filter/process/TinyFilter",
                                 "the module touched channel 34 (blue), row 0, offset -1, before the row's first byte"},
                    PlantedFault{"shader_exponent", "FAIL", "shader/reference/VelorastinShader",
                                 "colour at offset 304, component 0"},
                    PlantedFault{"pow_extended_precision", "FAIL", "fpenv/TinyShader",
                                 "under x87 precision 24-bit (x87 control word 0x007f, MXCSR 0x1f80): evaluate entry, "
                                 "record 0 (item id 0x10000001, colour component 1 from 0.10000000000000001 (bits "
                                 "0x3fb999999999999a): expected 0.0063095734448019329 (bits 0x3f79d811398ddcc3) as under "
                                 "the default settings, saw "},
                    PlantedFault{"leaves_fp_settings", "FAIL", "fpenv/TinyFilter",
                                 "process entry under the default settings (x87 control word 0x037f, MXCSR 0x1f80): "
                                 "returned with MXCSR 0x9fc0 (rounding to nearest, flush-to-zero, denormals-are-zero) "
                                 "where the host set 0x1f80 (rounding to nearest)"},
                    PlantedFault{"leaks_in_create", "FAIL", "memory/TinyFilter",
                                 "heap in use over 1,000 create/destroy cycles: expected at most 4,096 bytes more, saw"},
                    // Unoptimised, the copy faults in the C library's memcpy, which the line names.
                    PlantedFault{"copy_null_target", "CRASH", "lifecycle/copy-null/TinyShader",
                                 "SIGSEGV (Segmentation fault): at address 0x00000000 in * (during: copy entry with a null "
                                 "target)"},
                    PlantedFault{"entries_crash", "CRASH", "shader/evaluate/TinyShader",
                                 "SIGSEGV (Segmentation fault): at address 0x00000000 in entries_crash.p+0x"},
                    PlantedFault{"writes_past_table", "FAIL", "versions/TinyShader",
                                 "version 1: the host's word at offset 44, past the end of the 44-byte handler table: "
                                 "expected it unchanged 0x6a4d0f1e, saw 0x"},
                    PlantedFault{"unknown_class", "WARN", "table",
                                 "row 0: class \"ImageFilter\" is none of the classes a host knows (ShaderHandler, "
                                 "ImageFilterHandler, ShaderInterface, ImageFilterInterface), so no host binds"},
                    PlantedFault{"empty_name", "FAIL", "table", "row 0: the server name is empty"},
                    PlantedFault{"never_advances", "WARN", "filter/abort/TinyFilter",
                                 "never called the progress monitor's advance, whose answer is how a host stops a "
                                 "filter: a host cannot stop this one"},
                    PlantedFault{"describe_on_stack", "FAIL", "lifecycle/describe/TinyFilter",
                                 "(on the stack, where the next call overwrites it)"},
                    PlantedFault{"evaluate_crash_odd_names", "CRASH", "shader/evaluate/Tiny\\x0aSh\\xe4der\\x8b#0",
                                 "SIGSEGV (Segmentation fault): at address 0x00000000 in evaluate_crash_odd_names.p+0x* (during: "
                                 "record 0 "},
                    PlantedFault{"pops_arguments", "FAIL", "shader/evaluate/TinyShader",
                                 "evaluate returned with the stack pointer moved by 8 bytes: is the entry declared "
                                 "with the host's calling convention?"},
                    PlantedFault{"writes_early", "WARN", "shader/evaluate/TinyShader",
                                 "a host expects a unit-length shading normal"},
                    PlantedFault{"evaluate_writes_previous", "FAIL", "shader/evaluate/TinyShader",
                                 "the SampleAccess record of record 0, lent for its call only: record byte * (colour), "
                                 "changed after that call returned, during the evaluate call of record 1"},
                    PlantedFault{"process_clears_monitor", "FAIL", "filter/process/TinyFilter",
                                 "1x1, rows fenced after their end: the host's ImageAccess record, its monitor at offset "
                                 "48, changed during the process call"},
                    // glibc aborts at the second free; msvcrt lets it pass, and the check's watch names it.
                    PlantedFault{"copy_takes_instance", "CRASH", "lifecycle/shuffle/TinyFilter", "during: step *: destroy",
                                 "FAIL"},
                    PlantedFault{"prints_output", "WARN", "lifecycle/copy-null/TinyShader",
                                 "the module printed \"TinyShader loaded\\x0aTinyShader: create\\x0a"},
                    // Once the load check has found it, no other check waits for the destructors.
                    PlantedFault{"unload_hangs", "FAIL", "load",
                                 "the module's static destructors do not return: the process had not ended * s after it "
                                 "started, when the check had reported PASS",
                                 "", "--timeout 5 --only versions/ --only lifecycle/reload"},
                    // What a module may not change in the process: one fixture per property.
                    PlantedFault{"load_x87_precision", "FAIL", "load",
                                 "load changed the floating-point settings: static constructors returned with the x87 "
                                 "control word 0x007f (24-bit precision, rounding to nearest) where the host set 0x037f"},
                    PlantedFault{"load_ignores_sigint", "FAIL", "load",
                                 "load changed SIGINT's disposition: * before, ignored after"},
                    PlantedFault{"create_sets_locale", "FAIL", "lifecycle/cycles/TinyShader",
                                 "create of \"TinyShader\" changed the C locale: \"C\" before, \"*\" after"},
                    PlantedFault{"create_changes_folder", "FAIL", "lifecycle/cycles/TinyFilter",
                                 "create of \"TinyFilter\" changed the working folder: * before, * after"},
                    // Named before unloading, which would take the thread's code away under it.
                    PlantedFault{"activation_starts_thread", "FAIL", "lifecycle/reload",
                                 "activation of row 0 (TinyShader) changed the number of threads: * before, * after"},
                    PlantedFault{"create_opens_file", "FAIL", "lifecycle/cycles/TinyShader",
                                 "create of \"TinyShader\" changed the open *: * before, * after"},
                    PlantedFault{"load_keeps_memory", "FAIL", "memory/load-cycles",
                                 "heap in use over 20 load and unload cycles: expected at most 65,536 bytes more, saw"}),
    [](const testing::TestParamInfo<PlantedFault>& info) { return std::string(info.param.fixture); });

// ---- correct modules of other designs ----

// Held to the interface's rules alone, a module of another design than
// pluginServer.p's passes, with --strict too unless a warning is the point.
struct CorrectModule {
    const char* fixture;
    const char* warned = "";  // the check that warns, if any
    const char* detail = "";  // a part of what its line says
};

void PrintTo(const CorrectModule& module, std::ostream* out) { *out << module.fixture; }

class CheckPassesModule : public testing::TestWithParam<CorrectModule> {};

TEST_P(CheckPassesModule, WithExitZeroAndNoFailure) {
    const CorrectModule& module = GetParam();
    const std::string path = fixture(module.fixture);
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not built here";
    const bool warns = *module.warned != '\0';
    const CheckRun run = runCheck(path, warns ? std::vector<std::string>{} : std::vector<std::string>{"--strict"});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.linesWith("FAIL") + run.linesWith("CRASH") + run.linesWith("TIMEOUT"), 0) << run.output;
    // Only lifecycle/copy-across skips: no server of these modules is one the host knows.
    EXPECT_EQ(run.linesWith("SKIP"), 1) << run.output;
    EXPECT_TRUE(run.hasLine("SKIP", "lifecycle/copy-across")) << run.output;
    EXPECT_EQ(run.linesWith("WARN"), warns ? 1 : 0) << run.output;
    if (!warns) return;
    const std::optional<std::string> detail = run.detailOf("WARN", module.warned);
    ASSERT_TRUE(detail) << run.output;
    EXPECT_NE(detail->find(module.detail), std::string::npos) << module.detail << "\n" << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    OtherDesigns, CheckPassesModule,
    testing::Values(CorrectModule{"no_services"}, CorrectModule{"own_messages"}, CorrectModule{"describe_constant"},
                    CorrectModule{"example"},  // examples/module/, as docs/module-authors.md builds it
                    CorrectModule{"tab_in_name", "table",
                                  "row 1: the server name \"Tint\\x09Filter\" holds the control character 0x09 at "
                                  "position 4"}),
    [](const testing::TestParamInfo<CorrectModule>& info) { return std::string(info.param.fixture); });

TEST(CheckCommand, ATableFaultStillLetsTheDescriptorCheckPass) {
    const std::string path = fixture("no_end_row");
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not built here";
    const CheckRun run = runCheck(path);
    EXPECT_TRUE(run.hasLine("FAIL", "load")) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "descriptor")) << run.output;
    EXPECT_NE(run.output.find("ending row"), std::string::npos) << run.output;
    EXPECT_TRUE(run.hasLine("SKIP", "versions")) << run.output;
}

// The row with no name is the table's fault alone: the other checks see the
// same rows as the load check and run on it.
TEST(CheckCommand, AnEmptyServerNameFailsOnlyTheTableCheck) {
    const CheckRun run = runCheck(fixture("empty_name"));
    EXPECT_TRUE(run.hasLine("FAIL", "table")) << run.output;
    EXPECT_EQ(run.linesWith("FAIL") + run.linesWith("CRASH"), 1) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "lifecycle/reload")) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "filter/process/#0")) << run.output;
}

// A failure of four parts: the console line names three and counts the
// fourth, which --verbose and the reports spell out.
TEST(CheckCommand, AFailureOfManyPartsIsWholeInTheReportsAndWithVerbose) {
    const std::string path = fixture("leaves_fp_settings");
    const std::string fourth = "process entry under rounding toward zero (x87 control word 0x0f7f, MXCSR 0x7f80): "
                               "returned with MXCSR 0xffc0";
    const testing_support::TempFolder dir;
    const std::string json = dir.file("check.json"), junit = dir.file("check.xml");
    const CheckRun brief = runCheck(path, {"--only", "fpenv/", "--json", json, "--junit", junit});
    const std::optional<std::string> line = brief.detailOf("FAIL", "fpenv/TinyFilter");
    ASSERT_TRUE(line) << brief.output;
    EXPECT_EQ(line->find(fourth), std::string::npos) << *line;
    EXPECT_NE(line->find("; and 1 more (--verbose shows them all)"), std::string::npos) << *line;
    EXPECT_NE(readFile(json).find(fourth), std::string::npos) << readFile(json);
    EXPECT_NE(readFile(junit).find(fourth), std::string::npos) << readFile(junit);

    const CheckRun verbose = runCheck(path, {"--only", "fpenv/", "--verbose"});
    const std::optional<std::string> whole = verbose.detailOf("FAIL", "fpenv/TinyFilter");
    ASSERT_TRUE(whole) << verbose.output;
    EXPECT_NE(whole->find(fourth), std::string::npos) << *whole;
    EXPECT_EQ(whole->find("more"), std::string::npos) << *whole;
}

// A hang costs every check that filters an image its whole time limit: only the filter checks run.
TEST(CheckCommand, AHangIsKilledAndTheNextCheckStillRuns) {
    const std::string path = fixture("process_hangs");
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not built here";
    const testing_support::TempFolder dir;
    const std::string report = dir.file("hang.xml");
    const CheckRun run =
        runCheck(path, {"--only", "filter/process/*", "--only", "filter/abort/", "--timeout", "1", "--junit", report});
    EXPECT_TRUE(run.hasLine("TIMEOUT", "filter/process/TinyFilter")) << run.output;
    EXPECT_TRUE(run.hasLine("TIMEOUT", "filter/abort/TinyFilter")) << run.output;
    EXPECT_NE(run.output.find("(during: "), std::string::npos) << run.output;
    EXPECT_EQ(run.lastLine(), "0 passed, 2 failed");
    const std::string xml = readFile(report);
    EXPECT_NE(xml.find("errors=\"2\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<error type=\"TIMEOUT\""), std::string::npos) << xml;
}

// What the interface allows is a warning: it shows, it is counted as passed,
// and only --strict makes it fail the run.
TEST(CheckCommand, EqualNamesAtTwoAddressesAreAWarningThatFailsOnlyWhenStrict) {
    const std::string path = fixture("equal_names");
    const testing_support::TempFolder dir;
    const std::string json = dir.file("check.json");
    const CheckRun run = runCheck(path, {"--json", json});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    const std::optional<std::string> detail = run.detailOf("WARN", "table");
    ASSERT_TRUE(detail) << run.output;
    EXPECT_NE(detail->find("row 1: \"ImageFilterHandler\" / \"TinyFilter\" again, as texts at other addresses"),
              std::string::npos) << *detail;
    EXPECT_EQ(run.linesWith("FAIL") + run.linesWith("CRASH"), 0) << run.output;
    EXPECT_EQ(run.lineBeforeLast(), "1 warning (table)");
    std::smatch counts;
    const std::string last = run.lastLine();
    ASSERT_TRUE(std::regex_match(last, counts, kSummary)) << last;
    EXPECT_EQ(counts[2], "0");

    const std::string report = readFile(json);
    EXPECT_NE(report.find("\"warned\": 1,"), std::string::npos) << report;
    EXPECT_NE(report.find("\"failed\": 0,"), std::string::npos) << report;
    EXPECT_NE(report.find("{\"name\": \"table\", \"status\": \"WARN\", \"detail\": \"row 1: \\\"ImageFilterHandler\\\""),
              std::string::npos) << report;

    const CheckRun strict = runCheck(path, {"--strict", "--only", "table"});
    EXPECT_EQ(strict.exitStatus, 1) << strict.output;
    EXPECT_TRUE(strict.hasLine("WARN", "table")) << strict.output;
}

// Why `xml` is not a well-formed document of the JUnit report's kind (a
// declaration, elements, attributes, text), or empty when it is.
std::string xmlProblem(const std::string& xml) {
    if (refhost::validUtf8(xml) != xml) return "not UTF-8";
    for (std::size_t i = 0; i < xml.size(); ++i) {
        const auto c = static_cast<unsigned char>(xml[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || xml.compare(i, 3, "\xEF\xBF\xBE") == 0 ||
            xml.compare(i, 3, "\xEF\xBF\xBF") == 0)
            return "a character XML does not allow at byte " + std::to_string(i);
    }
    // A reference is a named one of the five or a number of a character XML allows.
    const std::regex badReference(R"(&(?!(amp|lt|gt|quot|apos|#(9|10|13|[3-9][0-9]|[1-9][0-9]{2,})|#x[0-9a-fA-F]+);))");
    const std::regex tag(R"(<(/?)([A-Za-z_][\w.-]*)((?:\s+[A-Za-z_][\w.-]*="[^"<]*")*)\s*(/?)>)");
    std::size_t at = xml.rfind("<?xml", 0) == 0 ? xml.find("?>") + 2 : 0;
    std::vector<std::string> open;
    bool rooted = false;
    while (at < xml.size()) {
        const std::size_t next = std::min(xml.find('<', at), xml.size());
        const std::string text = xml.substr(at, next - at);
        if (std::regex_search(text, badReference)) return "a bad reference in the text at byte " + std::to_string(at);
        if (open.empty() && text.find_first_not_of(" \t\r\n") != std::string::npos) return "text outside the root";
        if (next == xml.size()) break;
        std::smatch m;
        if (!std::regex_search(xml.cbegin() + static_cast<std::ptrdiff_t>(next), xml.cend(), m, tag,
                               std::regex_constants::match_continuous))
            return "no tag at byte " + std::to_string(next);
        if (std::regex_search(m[3].str(), badReference)) return "a bad reference in an attribute at byte " + std::to_string(next);
        if (m[1].length()) {
            if (open.empty() || open.back() != m[2]) return "</" + m[2].str() + "> closes nothing";
            open.pop_back();
        } else {
            if (open.empty() && rooted) return "a second root element";
            rooted = true;
            if (!m[4].length()) open.push_back(m[2]);
        }
        at = next + static_cast<std::size_t>(m.length());
    }
    return !rooted ? "no root element" : open.empty() ? "" : "<" + open.back() + "> is not closed";
}

// Whatever bytes a module's names hold and however its checks end, both
// reports are well-formed UTF-8, and they count as the exit status does:
// under --strict a warning is a failure.
TEST(CheckCommand, ReportsAreWellFormedAndUnderStrictCountAWarningAsFailed) {
    const testing_support::TempFolder dir;
    const std::string json = dir.file("check.json"), junit = dir.file("check.xml");
    const CheckRun run = runCheck(fixture("evaluate_crash_odd_names"),
                                  {"--strict", "--only", "table", "--only", "shader/evaluate/", "--json", json, "--junit", junit});
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    EXPECT_EQ(refhost::validUtf8(run.output), run.output) << run.output;
    EXPECT_EQ(run.lastLine(), "0 passed, 3 failed") << run.output;

    const std::string xml = readFile(junit);
    EXPECT_EQ(xmlProblem(xml), "") << xml;
    EXPECT_NE(xml.find("tests=\"3\" failures=\"1\" errors=\"2\" skipped=\"0\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<property name=\"strict\" value=\"true\"/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<failure type=\"WARN\" message=\"row 0: the server name &quot;Tiny\\x0aSh\\xe4der\\x8b&quot; holds"),
              std::string::npos) << xml;
    EXPECT_NE(xml.find("; row 1: &quot;ShaderHandler&quot; / &quot;Tiny&#10;Sh\xEF\xBF\xBD" "der\xEF\xBF\xBD&quot; again"),
              std::string::npos) << xml;

    nlohmann::json report;
    ASSERT_NO_THROW(report = nlohmann::json::parse(readFile(json))) << readFile(json);
    EXPECT_EQ(report["strict"], true);
    EXPECT_EQ(report["passed"], 0);
    EXPECT_EQ(report["warned"], 1);
    EXPECT_EQ(report["failed"], 3);
    const std::string warning = report["checks"][0]["detail"];
    EXPECT_NE(warning.find("; row 1: \"ShaderHandler\" / \"Tiny\nSh\xEF\xBF\xBD" "der\xEF\xBF\xBD\" again"), std::string::npos)
        << warning;
    EXPECT_EQ(report["checks"][1]["name"], "shader/evaluate/Tiny\\x0aSh\\xe4der\\x8b#0");
}

// The same begin(width) fault is a failure for a filter whose sequence the host
// knows, and a warning for one it does not.
TEST(CheckCommand, ATotalBelowTheAdvancesWarnsForAFilterTheHostDoesNotKnow) {
    const CheckRun run = runCheck(fixture("begin_width"), {"--only", "filter/progress/*"});
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    const std::optional<std::string> known = run.detailOf("FAIL", "filter/progress/VelorastinFilter");
    ASSERT_TRUE(known) << run.output;
    EXPECT_EQ(*known, "3x9: the total given to the monitor's begin: expected the height 9, saw 3");
    const std::optional<std::string> unknown = run.detailOf("WARN", "filter/progress/TinyFilter");
    ASSERT_TRUE(unknown) << run.output;
    EXPECT_NE(unknown->find("3x9: the monitor was begun with a total of 3 and advanced 9 steps"), std::string::npos)
        << *unknown;
    EXPECT_EQ(run.lineBeforeLast(), "1 warning (filter/progress/TinyFilter)");
    EXPECT_EQ(run.lastLine(), "1 passed, 1 failed");
}

TEST(CheckCommand, ListNamesEveryCheckAndRunsNone) {
    const CheckRun run = runCheck(testing_support::modulePath(), {"--list"});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    std::vector<std::string> names;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find(' ')));
    ASSERT_GE(names.size(), 3u) << run.output;
    EXPECT_EQ(names[0], "load");
    for (const char* name : {"descriptor", "versions/VelorastinShader", "lifecycle/reload", "filter/negative/VelorastinFilter",
                             "shader/sequence/VelorastinShader", "shader/evaluate/VelorastinShader",
                             "lifecycle/copy-null/VelorastinFilter", "memory/VelorastinShader", "fpenv/VelorastinShader",
                             "fpenv/VelorastinFilter"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name << "\n" << run.output;
    EXPECT_EQ(run.linesWith("PASS"), 0) << run.output;
    EXPECT_FALSE(std::regex_search(run.output, kSummary)) << run.output;

    const CheckRun some = runCheck(testing_support::modulePath(), {"--list", "--only", "*/sequence/*"});
    EXPECT_EQ(some.output,
              "shader/sequence/VelorastinShader   a scripted session calls the host as the host's model does, call by "
              "call\nfilter/sequence/VelorastinFilter   two processed images call the host as the host's model does, "
              "call by call (randomised)\n");
    // The same list for tools, on standard output.
    const CheckRun json = runCheck(testing_support::modulePath(), {"--list", "--only", "*/sequence/*", "--json", "-"});
    EXPECT_EQ(json.exitStatus, 0) << json.output;
    EXPECT_EQ(nlohmann::json::parse(json.output, nullptr, false),
              nlohmann::json::parse(R"([{"name": "shader/sequence/VelorastinShader", "area": "sequence",
                  "randomised": false, "rule": "a scripted session calls the host as the host's model does, call by call"},
                  {"name": "filter/sequence/VelorastinFilter", "area": "sequence", "randomised": true,
                  "rule": "two processed images call the host as the host's model does, call by call"}])"));
}

// Every check states its rule in one line and its rules in full, and the
// docs hold both: each check's area and one-line rule in the table of the
// checks at a glance, each full rule with whom it binds in the table of the rules.
TEST(CheckCommand, RulesFollowEveryCheckAndAreThoseOfTheDocs) {
    const std::string docs = readFile(fs::path(EXAMPLES_DIR) / ".." / ".." / "docs" / "checks.md");
    const std::size_t glance = docs.find("\n## The checks at a glance\n");
    ASSERT_NE(glance, std::string::npos);
    const std::string glanceTable = docs.substr(glance, docs.find("\n## ", glance + 1) - glance);
    const CheckRun list = runCheck(testing_support::modulePath(), {"--list", "--json", "-"});
    EXPECT_EQ(list.exitStatus, 0) << list.output;
    std::vector<std::string> glanceRows;  // the rows of the table the checks came to
    for (const nlohmann::json& check : nlohmann::json::parse(list.output)) {
        const std::string name = check["name"];
        const std::string ending = " | " + check["area"].get<std::string>() + " | " + check["rule"].get<std::string>() + " |\n";
        const std::size_t at = glanceTable.find(ending);
        ASSERT_NE(at, std::string::npos) << name << ending;
        const std::size_t rowStart = glanceTable.rfind("\n| `", at) + 1;
        const std::string row = glanceTable.substr(rowStart, at + ending.size() - 1 - rowStart);
        const std::string kind = row.substr(3, row.find('`', 3) - 3);  // "filter/abort/<row>"
        EXPECT_EQ(name.rfind(kind.substr(0, kind.find('<')), 0), 0u) << name << "\n" << row;
        if (std::find(glanceRows.begin(), glanceRows.end(), row) == glanceRows.end()) glanceRows.push_back(row);
    }
    std::size_t tableRows = 0;  // no row of the table names a check that is not there
    for (std::size_t at = glanceTable.find("\n| `"); at != std::string::npos; at = glanceTable.find("\n| `", at + 1))
        ++tableRows;
    EXPECT_EQ(tableRows, glanceRows.size()) << glanceTable;

    const CheckRun run = runCheck(testing_support::modulePath(), {"--rules"});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output.find("(no rule declared)"), std::string::npos) << run.output;
    std::istringstream lines(run.output);
    int rules = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("    ", 0) != 0) continue;
        const std::size_t colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << line;
        const std::string row = "| " + line.substr(colon + 2) + " | " + line.substr(4, colon - 4) + " |";
        EXPECT_NE(docs.find(row), std::string::npos) << row;
        ++rules;
    }
    EXPECT_GT(rules, 30) << run.output;
}

// An excluded check runs not at all and is reported as SKIP with the reason
// given, on the console and in both reports, unless it is the load check and
// the module did not load: that failure is never hidden.
TEST(CheckCommand, ExcludedChecksAreSkippedWithTheirReason) {
    struct Case {
        std::string module;
        std::vector<std::string> options;
        int exitStatus;
        std::vector<std::pair<std::string, std::string>> skipped;  // check, reason
        std::string lastLine;  // or the check that fails
    };
    const std::vector<Case> cases = {
        // A check a CI job knows to fail no longer fails the run.
        {fixture("process_ignores_abort"), {"--only", "filter/abort/", "--exclude", "filter/abort/*=stops a row late"},
         0, {{"filter/abort/TinyFilter", "stops a row late"}}, "0 passed, 0 failed, 1 skipped"},
        // Each check takes the reason of the first exclusion that matches it; the others run.
        {testing_support::modulePath(),
         {"--only", "versions/", "--only", "lifecycle/reload", "--exclude", "Shader=not today", "--exclude",
          "versions/*=nor this"},
         0, {{"versions/VelorastinShader", "not today"}, {"versions/VelorastinFilter", "nor this"}},
         "1 passed, 0 failed, 2 skipped"},
        {fixture("needs_absent_helper"), {"--exclude", "load=never mind"}, 1, {}, "load"},
    };
    for (const Case& c : cases) {
        const testing_support::TempFolder dir;
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--junit", dir.file("check.xml"), "--json", dir.file("check.json")});
        const CheckRun run = runCheck(c.module, options);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.output;
        if (c.skipped.empty()) {
            EXPECT_TRUE(run.hasLine("FAIL", c.lastLine)) << run.output;
            EXPECT_EQ(run.output.find("excluded"), std::string::npos) << run.output;
        } else {
            EXPECT_EQ(run.lastLine(), c.lastLine) << run.output;
            EXPECT_EQ(run.linesWith("SKIP"), static_cast<int>(c.skipped.size())) << run.output;
        }
        const std::string junit = readFile(dir.file("check.xml"));
        const nlohmann::json json = nlohmann::json::parse(readFile(dir.file("check.json")), nullptr, false);
        for (const auto& [check, reason] : c.skipped) {
            EXPECT_EQ(run.detailOf("SKIP", check), "excluded: " + reason) << run.output;
            const std::size_t testcase = junit.find("name=\"" + check + "\"");
            ASSERT_NE(testcase, std::string::npos) << junit;
            EXPECT_LT(junit.find("<skipped message=\"excluded: " + reason + "\"/>", testcase),
                      junit.find("<testcase", testcase))
                << junit;
            const auto entry = std::find_if(json["checks"].begin(), json["checks"].end(),
                                            [&](const nlohmann::json& e) { return e["name"] == check; });
            ASSERT_NE(entry, json["checks"].end()) << json;
            EXPECT_EQ((*entry)["status"], "SKIP");
            EXPECT_EQ((*entry)["detail"], "excluded: " + reason);
        }
    }
}

TEST(CheckCommand, RepeatRunsOnlyTheRandomisedChecksOncePerSeed) {
    const CheckRun run = runCheck(testing_support::modulePath(), {"--seed", "5", "--repeat", "3", "--only", "filter/abort/*",
                                                                  "--only", "versions/VelorastinFilter"});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    for (const char* check : {"filter/abort/VelorastinFilter [seed 5]", "filter/abort/VelorastinFilter [seed 6]",
                              "filter/abort/VelorastinFilter [seed 7]", "versions/VelorastinFilter"})
        EXPECT_TRUE(run.hasLine("PASS", check)) << check << "\n" << run.output;
    EXPECT_EQ(run.lastLine(), "4 passed, 0 failed");
}

TEST(CheckCommand, NoForkRunsTheChecksInItsOwnProcess) {
    // Every check, one after another with the same library: a check whose
    // module keeps the service records of an earlier check's host still runs.
    const CheckRun passing = runCheck(testing_support::modulePath(), {"--no-fork"});
    EXPECT_EQ(passing.exitStatus, 0) << passing.output;
    EXPECT_EQ(passing.lastLine(), runCheck(testing_support::modulePath()).lastLine());
    const CheckRun failing = runCheck(fixture("stops_only_on_one"), {"--no-fork", "--only", "filter/abort/*"});
    EXPECT_EQ(failing.exitStatus, 1) << failing.output;
    EXPECT_TRUE(failing.hasLine("FAIL", "filter/abort/TinyFilter")) << failing.output;
}

} // namespace
