// The exit status and message of each class of error, the same for every
// command: usage errors exit 2 and point to the command's --help, failed work
// exits 1 and names the file concerned; nothing is written on stdout.
#include <chrono>
#include <thread>

#include "tests/loaded/LoadedModule.h"

using namespace testing_support;

namespace {

struct Refusal {
    std::vector<std::string> args;
    std::string firstLine;  // the whole first line of standard error
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    for (const std::string& arg : refusal.args) *out << arg << " ";
}

class UsageError : public testing::TestWithParam<Refusal> {};

} // namespace

TEST_P(UsageError, ExitsTwoNamingTheOptionAndPointingToHelp) {
    const Refusal& refusal = GetParam();
    const CommandResult r = runRefhost(refusal.args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string command = refusal.args.empty() || refusal.args[0][0] == '-' ||
                                        refusal.args[0] == "frobnicate"
                                    ? "refhost"
                                    : "refhost " + refusal.args[0];
    const std::string hint = command == "refhost" ? "the commands" : "its arguments and options";
    EXPECT_EQ(r.err, refusal.firstLine + "\nRun '" + command + " --help' for " + hint + ".\n");
}

INSTANTIATE_TEST_SUITE_P(
    EveryClass, UsageError,
    testing::Values(
        Refusal{{}, "refhost: no command given; the commands are list, filter, render, check, chart and trace"},
        Refusal{{"frobnicate", "x"}, "refhost: unknown command 'frobnicate'; the commands are list, filter, render, "
                                     "check, chart and trace"},
        Refusal{{"--verbose", "list"}, "refhost: unknown option --verbose"},
        Refusal{{"list", "--all", "x.p"}, "refhost list: unknown option --all"},
        Refusal{{"list", "a.p", "b.p", "c.p"}, "refhost list: unexpected arguments 'b.p' 'c.p'"},
        Refusal{{"filter", "in.png"}, "refhost filter: OUTPUT is required"},
        Refusal{{"check", "--repeat", "0"}, "refhost check: --repeat: Value 0 not in range 1 to 1000000"},
        Refusal{{"chart", "--width", "1", "out.png"}, "refhost chart: --width: Value 1 not in range 2 to 8192"},
        Refusal{{"render", "--threads", "0", "out.png"}, "refhost render: --threads: Value 0 not in range 1 to 256"},
        Refusal{{"render", "--shader", "", "out.png"},
                "refhost render: --shader and --filter take a server name or \"none\""},
        Refusal{{"check", "--only", "filter/", "--only", "nomatch*"},
                "refhost check: --only 'nomatch*' matches no check of this module; --list names them"},
        Refusal{{"check", "--exclude", "nomatch*=flaky"},
                "refhost check: --exclude 'nomatch*' matches no check of this module; --list names them"},
        Refusal{{"check", "--exclude", "filter/abort"},
                "refhost check: --exclude takes PATTERN=REASON, both non-empty, not 'filter/abort'"},
        Refusal{{"check", "x.p", "--timeout", "-1"}, "refhost check: --timeout: '-1' is not a positive number"},
        Refusal{{"chart", "--height"}, "refhost chart: --height: 1 required INT:INT in [2 - 8192] missing"},
        // A non-finite time, and an output name that asks for another format than PNG.
        Refusal{{"filter", "--time", "nan", "in.png", "out.png"}, "refhost filter: --time: 'nan' is not a finite number"},
        Refusal{{"trace", "--time", "-inf"}, "refhost trace: --time: '-inf' is not a finite number"},
        Refusal{{"chart", "out.jpg"}, "refhost chart: OUTPUT: 'out.jpg' does not end in .png; refhost writes PNG files only"},
        Refusal{{"render", "--frames", "1-2", "--contact-sheet", "sheet.tga", "a.png"},
                "refhost render: --contact-sheet: 'sheet.tga' does not end in .png; refhost writes PNG files only"}));

TEST(ExitStatus, HelpAndVersionSucceedAndHelpStatesTheConvention) {
    const CommandResult help = runRefhost({"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_NE(help.out.find("Exit status: 0 success, 1 the work failed"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("2 usage error, 130 interrupted"), std::string::npos) << help.out;
    const CommandResult version = runRefhost({"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out.rfind("refhost (velorastin) ", 0), 0u) << version.out;
}

// Work that fails exits 1 with one line naming the file and what to do.
TEST(ExitStatus, FailedWorkExitsOneNamingTheFileAndWhatToDo) {
    TempFolder folder;
    const std::string chart = folder.file("chart.png");
    ASSERT_EQ(runRefhost({"chart", chart}).exitCode, 0);
    const std::string missingFolder = folder.file("no/such/folder");
    const std::string accessFault = kWindows ? "exception 0xC0000005 (access violation)" : "SIGSEGV (Segmentation fault)";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        // A module that is not there, or is there and breaks the interface.
        {{"list", folder.file("absent.p")}, {"refhost list: " + folder.file("absent.p") + ": cannot open"}},
        {{"list", fixturePath("bad_sync")},
         {"refhost list: " + fixturePath("bad_sync") + ": wrong synchronisation word",
          "run 'refhost check " + fixturePath("bad_sync") + "'"}},
        // A server the module does not have.
        {{"filter", "--server", "NoSuch", chart, folder.file("out.png")},
         {"no image filter server named \"NoSuch\"", "'refhost list " + defaultModulePath() + "'"}},
        {{"filter", "--server", "VelorastinShader", chart, folder.file("out.png")},
         {"no image filter server named \"VelorastinShader\" (\"VelorastinShader\" is a server of class ShaderHandler)"}},
        {{"filter", "--module", fixturePath("unknown_class"), chart, folder.file("out.png")},
         {"no image filter server (\"TinyFilter\" is a server of class ImageFilter, which no host knows)"}},
        {{"render", "--module", fixturePath("process_hangs"), "--filter", "none", folder.file("out.png")},
         {"no ShaderHandler server named \"VelorastinShader\"", "it has no ShaderHandler server at all: give --shader none"}},
        {{"render", "--shader", "VelorastinFilter", "--width", "8", "--height", "8", folder.file("out.png")},
         {"no ShaderHandler server named \"VelorastinFilter\"", "is a server of class ImageFilterHandler",
          "shows the servers it has"}},
        // A server that binds but leaves its entries empty is not called.
        {{"filter", "--module", fixturePath("empty_entries"), chart, folder.file("out.png")},
         {"\"TinyFilter\" accepted interface version 2 but left handler entries empty (name and byte offset): "
          "create (0), destroy (4), copy (8), load (12), save (16), process (20), flags (24), describe (28)",
          "'refhost check " + fixturePath("empty_entries") + "'"}},
        {{"render", "--module", fixturePath("empty_entries"), "--shader", "TinyShader", "--filter", "none",
          folder.file("out.png")},
         {"\"TinyShader\" accepted interface version 2 but left handler entries empty"}},
        {{"trace", "--module", fixturePath("empty_entries"), "--server", "TinyFilter"},
         {"\"TinyFilter\" accepted interface version 2 but left handler entries empty"}},
        // A module that crashes in an entry: the entry, the fault, the code it
        // hit in; on a shading thread as on the main one.
        {{"filter", "--module", fixturePath("entries_crash"), chart, folder.file("out.png")},
         {"the module crashed in its process entry: " + accessFault + ": at address 0x00000000 in entries_crash.p+0x",
          " (processThroughNull+0x", "'refhost check " + fixturePath("entries_crash") + "'"}},
        {{"render", "--module", fixturePath("entries_crash"), "--shader", "TinyShader", "--filter", "none", "--threads",
          "3", "--width", "8", "--height", "8", folder.file("out.png")},
         {"the module crashed in its evaluate entry: " + accessFault + ": at address 0x00000000 in entries_crash.p+0x"}},
        {{"render", "--module", fixturePath("entries_crash"), "--shader", "none", "--filter", "TinyFilter", "--width",
          "8", "--height", "8", folder.file("out.png")},
         {"the module crashed in its process entry"}},
        {{"trace", "--module", fixturePath("missing_service_crash"), "--withhold", "LW Scene Info"},
         {"the module crashed in its newTime entry: " + accessFault + ": at address 0x", " in missing_service_crash.p+0x",
          "'refhost check " + fixturePath("missing_service_crash") + "'"}},
        // Files that cannot be read or written.
        {{"filter", folder.file("absent.png"), folder.file("out.png")}, {folder.file("absent.png") + ": cannot open"}},
        {{"chart", missingFolder + "/chart.png"}, {missingFolder + "/chart.png: cannot write"}},
        {{"check", modulePath(), "--junit", missingFolder + "/check.xml"},
         {"refhost check: ", "cannot write into " + missingFolder, "give --junit a file in a writable folder"}},
        // A check that fails is failed work too (its report is on stdout). The
        // file may follow --only: the option takes one pattern.
        {{"check", "--only", "descriptor", fixturePath("bad_sync")}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const CommandResult r = runRefhost(c.args);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        if (c.said.empty()) {
            EXPECT_NE(r.out.find("descriptor: synchronisation word"), std::string::npos) << r.out;
            continue;
        }
        EXPECT_EQ(r.err.rfind("refhost " + c.args[0] + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        for (const std::string& part : c.said) EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
    }
    // Nothing was written anywhere.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

namespace {

struct Stop {
    const char* name;
    Ending ending;
    int status;  // the exit status; 0: refhost is killed and has none
};

void PrintTo(const Stop& stop, std::ostream* out) { *out << stop.name; }

class StopDuringCheck : public testing::TestWithParam<Stop> {};

// The ids of refhost's children once the same one child has run for a
// second: the hanging check's, not the load check's before it.
std::vector<unsigned long> steadyChild(const RunningProgram& refhost) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    std::vector<unsigned long> seen;
    Clock::time_point since = Clock::now();
    while (Clock::now() < deadline) {
        const std::vector<unsigned long> ids = ChildProcesses::idsOf(refhost);
        if (ids != seen) {
            seen = ids;
            since = Clock::now();
        } else if (ids.size() == 1 && Clock::now() - since >= std::chrono::seconds(1)) {
            return ids;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

} // namespace

// A request to stop a check ends the child that hangs, and then refhost with
// 128 + the signal, saying where it stopped and writing no report. Killed
// outright, refhost cannot end its child: the child ends by itself.
TEST_P(StopDuringCheck, LeavesNoProcessOfTheRun) {
    const Stop& stop = GetParam();
    if (kWindows && (stop.ending == Ending::Terminate || stop.ending == Ending::HangUp))
        GTEST_SKIP() << "Windows has no such signal";
    TempFolder folder;
    const std::string output = folder.file("out.txt"), report = folder.file("check.json");
    RunningProgram refhost(refhostPath(),
                           {"check", fixturePath("process_hangs"), "--only", "filter/process/*", "--timeout", "120",
                            "--json", report},
                           RunningProgram::StandardError::Inherited, output);
    ASSERT_TRUE(refhost.started()) << refhost.problem();
    ASSERT_EQ(steadyChild(refhost).size(), 1u) << "the hanging check's process never showed";
    const ChildProcesses children(refhost);
    ASSERT_EQ(children.ids().size(), 1u);
    ASSERT_TRUE(refhost.end(stop.ending));
    const std::optional<ProgramEnd> end = refhost.waitForExit(20);
    ASSERT_TRUE(end) << "refhost did not end";
    if (stop.status == 0) {
        EXPECT_TRUE(children.endWithin(2)) << "the child outlived its killed parent";
        return;
    }
    // Ended and awaited before refhost exits.
    EXPECT_TRUE(children.endWithin(0));
    ASSERT_TRUE(end->exited) << "ended by signal " << end->status;
    EXPECT_EQ(end->status, stop.status);
    std::string shown = readFile(output);
    shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    EXPECT_EQ(shown.substr(shown.find('\n') + 1),
              "seed 1\ninterrupted during filter/process/TinyFilter; 0 passed, 0 failed before it\n");
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"out.txt"});
}

INSTANTIATE_TEST_SUITE_P(EverySignal, StopDuringCheck,
                         testing::Values(Stop{"Interrupt", Ending::Interrupt, 130}, Stop{"Terminate", Ending::Terminate, 143},
                                         Stop{"HangUp", Ending::HangUp, 129}, Stop{"Kill", Ending::Kill, 0}),
                         [](const testing::TestParamInfo<Stop>& info) { return std::string(info.param.name); });
