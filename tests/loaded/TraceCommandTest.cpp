// `refhost trace` on the built module: every call across the boundary in
// order, with arguments and results, as text and as JSON lines.
#include <algorithm>
#include <regex>

#include <nlohmann/json.hpp>

#include "host/ServiceRecords.h"
#include "tests/loaded/LoadedModule.h"

namespace {

using testing_support::runRefhost;

// The trace's calls without their numbers, marks and indentation: "> create(null) = instance 1".
std::vector<std::string> callsOf(const std::string& out) {
    std::vector<std::string> calls;
    std::istringstream lines(out);
    const std::regex numbered(R"(\s*\d+ ([<>])\s+(.*))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, numbered)) calls.push_back(m[1].str() + " " + m[2].str());
    }
    return calls;
}

std::vector<std::string> lookupsFrom(const std::vector<std::string>& calls, std::size_t first) {
    std::vector<std::string> lookups;
    for (std::size_t i = first; i < calls.size() && calls[i].rfind("< lookup(", 0) == 0; ++i) lookups.push_back(calls[i]);
    return lookups;
}

std::vector<std::string> requiredLookups(std::size_t count = std::size(host::kRequiredServices)) {
    std::vector<std::string> lookups;
    for (std::size_t i = 0; i < count; ++i)
        lookups.push_back(std::string("< lookup(\"") + host::kRequiredServices[i].name + "\", 0) = a record");
    return lookups;
}

std::size_t indexOf(const std::vector<std::string>& calls, const std::string& prefix) {
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0) return i;
    return calls.size();
}

TEST(TraceCommand, AShaderLooksUpEveryServiceInOrderAndRefreshesAtItsTime) {
    const auto result = runRefhost({"trace", "--module", testing_support::modulePath(), "--server", "VelorastinShader",
                                    "--frame", "3", "--time", "0.25"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> calls = callsOf(result.out);
    ASSERT_GE(calls.size(), 4u) << result.out;
    EXPECT_EQ(calls[0], "> startup() = 4");
    EXPECT_EQ(calls[1], "> activate(2, GlobalLookup, handler table, null) = 0");
    EXPECT_EQ(calls[2], "> create(null) = instance 1");
    EXPECT_EQ(lookupsFrom(calls, 3), requiredLookups());

    const std::size_t newTime = indexOf(calls, "> newTime(");
    ASSERT_LT(newTime, calls.size()) << result.out;
    EXPECT_EQ(calls[newTime], "> newTime(instance 1, 3, 0.25) = null");
    EXPECT_EQ(lookupsFrom(calls, newTime + 1), requiredLookups());
    const std::size_t refresh = newTime + 1 + std::size(host::kRequiredServices);
    ASSERT_LT(refresh + 9, calls.size()) << result.out;
    const std::vector<std::string> refreshed(calls.begin() + refresh, calls.begin() + refresh + 10);
    EXPECT_EQ(refreshed, (std::vector<std::string>{
                             "< item.first(2, 0) = 33554433 (Camera)",
                             "< item.param(33554433, 1, 0.25) = (0, 1, -10)",
                             "< item.param(33554433, 8, 0.25) = (0, 1, -10)",
                             "< item.param(33554433, 4, 0.25) = (0, 0, 1)",
                             "< item.param(33554433, 2, 0.25) = (1, 0, 0)",
                             "< item.param(33554433, 3, 0.25) = (0, 1, 0)",
                             "< camera.zoom(33554433, 0.25) = 3.2",
                             "< light.ambient(0.25) = (0.1, 0.1, 0.1)",
                             "< renderMemory.find(\"TARNE_rayCallList\") = null",
                             "< renderMemory.create(\"TARNE_rayCallList\", 4) = a block",
                         }));
    // The evaluate touches nothing of the host; the colour comes back raised to 2.2.
    ASSERT_EQ(calls.size(), refresh + 13) << result.out;
    EXPECT_EQ(calls[refresh + 10], "> evaluate(instance 1, sample of item 268435457 at pixel (160, 120), colour (0.5, 0.25, 1)) "
                                   "= colour (0.217637640824031, 0.04736614270344993, 1)");
    EXPECT_EQ(calls[refresh + 11], "> destroy(instance 1)");
    EXPECT_EQ(calls[refresh + 12], "> shutdown()");
}

TEST(TraceCommand, AFilterRefreshesAtTheImageTimeThenBeginsWithTheHeightAndWalksRowZeroPlaneByPlane) {
    const auto result = runRefhost({"trace", "--server", "VelorastinFilter", "--time", "0.75"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> calls = callsOf(result.out);
    const std::size_t process = indexOf(calls, "> process(");
    ASSERT_LT(process + 18, calls.size()) << result.out;
    EXPECT_EQ(lookupsFrom(calls, 3), requiredLookups());
    EXPECT_EQ(calls[process], "> process(instance 1, image 3x2 at time 0.75)");
    EXPECT_EQ(calls[process + 1], "< item.first(2, 0) = 33554433 (Camera)");
    EXPECT_EQ(calls[process + 8], "< light.ambient(0.75) = (0.1, 0.1, 0.1)");
    const std::vector<std::string> first(calls.begin() + process + 9, calls.begin() + process + 19);
    EXPECT_EQ(first, (std::vector<std::string>{
                         "< monitor.begin(2) = 0",
                         "< image.row(32, 0)",
                         "< image.row(33, 0)",
                         "< image.row(34, 0)",
                         "< image.row(35, 0)",
                         "< image.setColour(0, 0, 0, 136, 186) = 1",
                         "< image.setAlpha(0, 0, 255) = 1",
                         "< image.setColour(1, 0, 99, 166, 228) = 1",
                         "< image.setAlpha(1, 0, 128) = 1",
                         "< image.setColour(2, 0, 255, 20, 72) = 1",
                     }));
    EXPECT_EQ(calls[calls.size() - 3], "< monitor.finish() = 0");
}

TEST(TraceCommand, JsonGivesOneObjectPerCall) {
    const auto result = runRefhost({"trace", "--server", "VelorastinShader", "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::istringstream lines(result.out);
    std::vector<std::string> objects;
    for (std::string line; std::getline(lines, line);) objects.push_back(line);
    ASSERT_GE(objects.size(), 4u);
    EXPECT_EQ(objects[0], R"({"index": 1, "caller": "host", "call": "startup", "args": [], "result": "4"})");
    EXPECT_EQ(objects[3],
              R"({"index": 4, "caller": "module", "call": "lookup", "args": ["Info Messages", 0], "result": "a record"})");
    for (const std::string& object : objects) EXPECT_TRUE(object.front() == '{' && object.back() == '}') << object;
}

TEST(TraceCommand, AWithheldServiceEndsTheLookupsWithItsMessage) {
    const auto result = runRefhost({"trace", "--server", "VelorastinShader", "--withhold", "LW Camera Info",
                                    "--withhold", "Global Memory"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> calls = callsOf(result.out);
    std::vector<std::string> expected = requiredLookups(4);
    expected.push_back("< lookup(\"LW Camera Info\", 0) = null");
    EXPECT_EQ(lookupsFrom(calls, 3), expected);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "> newTime(instance 1, 12, 0.5) = \"Couldn't get Camera Info\""),
              calls.end())
        << result.out;
}

// An entry that returns with other floating-point settings than the host set
// says so on its line, and only such an entry.
TEST(TraceCommand, AnEntryThatLeavesOtherFloatingPointSettingsSaysWhichOnItsLine) {
    const auto result = runRefhost({"trace", "--module", testing_support::fixturePath("leaves_fp_settings")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> calls = callsOf(result.out);
    const std::size_t process = indexOf(calls, "> process(");
    ASSERT_LT(process, calls.size()) << result.out;
    EXPECT_EQ(calls[process], "> process(instance 1, image 3x2 at time 0.5); left MXCSR 0x9fc0 (rounding to nearest, "
                              "flush-to-zero, denormals-are-zero) where the host set 0x1f80 (rounding to nearest)");
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (i == process) continue;
        EXPECT_EQ(calls[i].find("; left "), std::string::npos) << calls[i];
    }

    const auto json = runRefhost({"trace", "--module", testing_support::fixturePath("leaves_fp_settings"), "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_NE(json.out.find(R"j("call": "process", "args": ["instance 1", "image 3x2 at time 0.5"], "result": "", )j"
                            R"j("settingsLeft": "MXCSR 0x9fc0 (rounding to nearest, flush-to-zero, denormals-are-zero) )j"
                            R"j(where the host set 0x1f80 (rounding to nearest)"})j"),
              std::string::npos)
        << json.out;

    for (const char* server : {"VelorastinShader", "VelorastinFilter"}) {
        const auto clean = runRefhost({"trace", "--server", server});
        ASSERT_EQ(clean.exitCode, 0) << clean.err;
        EXPECT_EQ(clean.out.find("; left "), std::string::npos) << clean.out;
    }
}

TEST(TraceCommand, AnActivationThatWritesPastTheHandlerTableEndsTheSessionBeforeAnyEntry) {
    const auto result = runRefhost({"trace", "--module", testing_support::fixturePath("writes_past_table")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("\"TinyShader\" wrote past the end of its 44-byte handler table when activated: the "
                              "host's memory at offset 44 (now 0x"),
              std::string::npos)
        << result.err;
    const std::vector<std::string> calls = callsOf(result.out);
    EXPECT_EQ(calls, (std::vector<std::string>{"> startup() = 4", "> activate(2, GlobalLookup, handler table, null) = 0",
                                               "> shutdown()"}));
}

// The calls up to a crash, or up to an entry that moved the stack pointer,
// are what its author needs: they are printed, the faulting entry last,
// without a result, and the session ends there.
TEST(TraceCommand, AnEntryThatCrashesOrMovesTheStackEndsTheTraceWithTheCallsBeforeIt) {
    for (const auto& [fixture, message] :
         {std::pair{"entries_crash", "the module crashed in its evaluate entry: "},
          std::pair{"pops_arguments", "evaluate returned with the stack pointer moved by 8 bytes"}}) {
        const auto result = runRefhost({"trace", "--module", testing_support::fixturePath(fixture)});
        EXPECT_EQ(result.exitCode, 1) << fixture << ": " << result.err;
        const std::vector<std::string> calls = callsOf(result.out);
        ASSERT_GE(calls.size(), 4u) << fixture << ": " << result.out;
        EXPECT_EQ(calls[2], "> create(null) = instance 1") << fixture;
        EXPECT_NE(indexOf(calls, "> newTime(instance 1, 12, 0.5) = null"), calls.size()) << result.out;
        EXPECT_EQ(calls.back(), "> evaluate(instance 1, sample of item 268435457 at pixel (160, 120), colour (0.5, 0.25, 1))")
            << fixture;
        EXPECT_NE(result.err.find(message), std::string::npos) << fixture << ": " << result.err;
    }
}

// What a module prints on standard output stays out of refhost's own, which
// a script parses: it goes to standard error, marked as the module's.
TEST(TraceCommand, AModulesOwnOutputGoesToStandardErrorMarkedAsItsOwn) {
    const std::string module = testing_support::fixturePath("prints_output");
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"trace", "--module", module, "--json"}, {"trace", "--module", module}, {"list", module}}) {
        const auto result = runRefhost(command);
        const std::string what = command[0] + (command.size() > 3 ? " --json" : "");
        ASSERT_EQ(result.exitCode, 0) << what << ": " << result.err;
        EXPECT_EQ(result.out.find("TinyShader loaded"), std::string::npos) << what << ": " << result.out;
        EXPECT_NE(result.err.find("module: TinyShader loaded\n"), std::string::npos) << what << ": " << result.err;
        const std::string first = result.out.substr(0, result.out.find('\n'));
        const bool json = command.size() > 3;
        EXPECT_TRUE(json ? nlohmann::json::accept(first)
                         : first.rfind(command[0] == "list" ? "module      " : "# > the host calls", 0) == 0)
            << what << ": " << first;
    }
}

TEST(TraceCommand, UnknownServicesAndServersAreRefusedByName) {
    const auto unknown = runRefhost({"trace", "--withhold", "LW Nothing"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("--withhold: no service is named \"LW Nothing\""), std::string::npos) << unknown.err;
    EXPECT_EQ(unknown.out, "");
    const auto server = runRefhost({"trace", "--server", "NoSuchServer"});
    EXPECT_EQ(server.exitCode, 1);
    EXPECT_NE(server.err.find("no shader or image filter server named \"NoSuchServer\""), std::string::npos) << server.err;
    const auto missing = runRefhost({"trace", "--module", "/nonexistent/module.p"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("/nonexistent/module.p: cannot open"), std::string::npos) << missing.err;
}

} // namespace
