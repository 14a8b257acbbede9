// `refhost check` run as a program: it passes the built module, and it names
// the broken rule of every planted-fault fixture.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/loaded/LoadedModule.h"

namespace {

namespace fs = std::filesystem;

struct CheckRun {
    int exitStatus = -1;
    std::string output;  // stdout: one line per check, then the seed and the counts

    bool hasLine(const std::string& status, const std::string& check) const {
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(status + " ", 0) != 0) continue;
            const std::string rest = line.substr(line.find_first_not_of(' ', status.size()));
            if (rest == check || rest.rfind(check + ": ", 0) == 0) return true;
        }
        return false;
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

CheckRun runCheck(const std::string& module, const std::string& options = "") {
    const std::string command = std::string(testing_support::refhostPath()) + " check '" + module + "' " + options;
    CheckRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string fixture(const std::string& name) { return std::string(FIXTURE_DIR) + "/" + name + ".p"; }

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A scratch folder that goes with the test.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "refhost-check-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

const std::regex kSummary(R"((\d+) passed, (\d+) failed(, \d+ skipped)?)");

TEST(CheckCommand, PassesTheBuiltModuleAndWritesItsJUnitReport) {
    TempDir dir;
    const fs::path report = dir.path / "check.xml";
    const CheckRun run = runCheck(testing_support::modulePath(), "--junit '" + report.string() + "'");
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.linesWith("FAIL") + run.linesWith("CRASH") + run.linesWith("TIMEOUT") + run.linesWith("SKIP"), 0)
        << run.output;
    for (const char* check :
         {"load", "descriptor", "table", "versions/VelorastinShader", "versions/VelorastinFilter",
          "lifecycle/cycles/VelorastinShader", "lifecycle/shuffle/VelorastinFilter", "lifecycle/destroy-null/VelorastinFilter",
          "lifecycle/describe/VelorastinShader", "lifecycle/copy-across", "lifecycle/reload",
          "services/without/LW Camera Info", "services/without-all", "services/random", "shader/evaluate/VelorastinShader",
          "shader/reference/VelorastinShader", "threads/VelorastinShader", "filter/process/VelorastinFilter",
          "filter/abort/VelorastinFilter", "filter/reference/VelorastinFilter"})
        EXPECT_TRUE(run.hasLine("PASS", check)) << check << "\n" << run.output;
    std::smatch counts;
    const std::string last = run.lastLine();
    ASSERT_TRUE(std::regex_match(last, counts, kSummary)) << last;
    EXPECT_EQ(counts[2], "0");
    EXPECT_NE(run.output.find("\nseed 1\n"), std::string::npos);

    // The report is complete and no temporary file is left beside it.
    const std::string xml = readFile(report);
    EXPECT_NE(xml.find("tests=\"" + counts[1].str() + "\" failures=\"0\" errors=\"0\" skipped=\"0\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("name=\"filter/abort/VelorastinFilter\""), std::string::npos) << xml;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(CheckCommand, OnlyRunsTheChecksWhoseNameContainsTheText) {
    const CheckRun run = runCheck(testing_support::modulePath(), "--only versions/ --seed 7");
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "versions/VelorastinShader")) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "versions/VelorastinFilter")) << run.output;
    EXPECT_FALSE(run.hasLine("PASS", "load")) << run.output;
    EXPECT_NE(run.output.find("\nseed 7\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.lastLine(), "2 passed, 0 failed");
}

TEST(CheckCommand, AFileThatDoesNotLoadFailsTheLoadCheckAndSkipsTheRest) {
    const CheckRun run = runCheck("/nonexistent/pluginServer.p");
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    EXPECT_TRUE(run.hasLine("FAIL", "load")) << run.output;
    EXPECT_NE(run.output.find("cannot open"), std::string::npos) << run.output;
    for (const char* dependent : {"descriptor", "table", "versions", "lifecycle", "services", "shader", "filter", "threads"})
        EXPECT_TRUE(run.hasLine("SKIP", dependent)) << dependent << "\n" << run.output;
    EXPECT_EQ(run.lastLine(), "0 passed, 1 failed, 8 skipped");
}

TEST(CheckCommand, AReportThatCannotBeWrittenStopsBeforeAnyCheck) {
    const CheckRun run = runCheck(testing_support::modulePath(), "--junit /nonexistent/folder/check.xml");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "");
}

// ---- planted faults ----

struct PlantedFault {
    const char* fixture;
    const char* status;  // the line that names the fault
    const char* check;
};

void PrintTo(const PlantedFault& fault, std::ostream* out) { *out << fault.fixture; }

class CheckFlagsFixture : public testing::TestWithParam<PlantedFault> {};

TEST_P(CheckFlagsFixture, WithANonZeroExitAndTheBrokenCheckNamed) {
    const PlantedFault& fault = GetParam();
    const std::string path = fixture(fault.fixture);
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not built here";
    const CheckRun run = runCheck(path);
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    EXPECT_TRUE(run.hasLine(fault.status, fault.check)) << fault.status << " " << fault.check << "\n" << run.output;
    std::smatch counts;
    const std::string last = run.lastLine();
    ASSERT_TRUE(std::regex_match(last, counts, kSummary)) << last;
    EXPECT_NE(counts[2], "0");
}

INSTANTIATE_TEST_SUITE_P(
    PlantedFaults, CheckFlagsFixture,
    testing::Values(PlantedFault{"bad_sync", "FAIL", "descriptor"}, PlantedFault{"no_end_row", "FAIL", "table"},
                    PlantedFault{"no_descriptor", "FAIL", "descriptor"}, PlantedFault{"not_32bit", "FAIL", "load"},
                    PlantedFault{"accepts_version_0", "FAIL", "versions/TinyFilter"},
                    PlantedFault{"describe_overflow", "FAIL", "lifecycle/describe/TinyFilter"},
                    PlantedFault{"missing_service_crash", "CRASH", "services/without/LW Scene Info"},
                    PlantedFault{"evaluate_outside", "FAIL", "shader/evaluate/TinyShader"},
                    PlantedFault{"process_ignores_abort", "FAIL", "filter/abort/TinyFilter"}),
    [](const testing::TestParamInfo<PlantedFault>& info) { return std::string(info.param.fixture); });

TEST(CheckCommand, ATableFaultStillLetsTheDescriptorCheckPass) {
    const std::string path = fixture("no_end_row");
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not built here";
    const CheckRun run = runCheck(path);
    EXPECT_TRUE(run.hasLine("FAIL", "load")) << run.output;
    EXPECT_TRUE(run.hasLine("PASS", "descriptor")) << run.output;
    EXPECT_NE(run.output.find("ending row"), std::string::npos) << run.output;
    EXPECT_TRUE(run.hasLine("SKIP", "versions")) << run.output;
}

// A hang costs every check that filters an image its whole time limit: only the filter checks run.
TEST(CheckCommand, AHangIsKilledAndTheNextCheckStillRuns) {
    const std::string path = fixture("process_hangs");
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not built here";
    TempDir dir;
    const fs::path report = dir.path / "hang.xml";
    const CheckRun run = runCheck(path, "--only filter/ --timeout 1 --junit '" + report.string() + "'");
    EXPECT_TRUE(run.hasLine("TIMEOUT", "filter/process/TinyFilter")) << run.output;
    EXPECT_TRUE(run.hasLine("TIMEOUT", "filter/abort/TinyFilter")) << run.output;
    EXPECT_NE(run.output.find("(during: "), std::string::npos) << run.output;
    EXPECT_EQ(run.lastLine(), "0 passed, 2 failed");
    const std::string xml = readFile(report);
    EXPECT_NE(xml.find("errors=\"2\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<error type=\"TIMEOUT\""), std::string::npos) << xml;
}

} // namespace
