// Outputs that cannot be written whole: refhost runs under a small file size
// limit (writes past it fail with EFBIG, as on a full disk), must exit 1 naming
// the file and the system's reason, leave no partial or temporary file, and
// leave an existing output as it was.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <set>

#include "tests/loaded/LoadedModule.h"

using namespace testing_support;

namespace {

// refhost with every file it writes (standard output included) limited to `bytes`.
CommandResult runLimited(const std::vector<std::string>& args, rlim_t bytes) {
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);  // inherited: writes fail instead of ending refhost
    const rlimit limited{bytes, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    CommandResult result = runRefhost(args);
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);
    return result;
}

std::set<std::string> filesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

} // namespace

TEST(FullDisk, NoOutputIsCutShortOrReplacedAndTheFailureIsNamed) {
    TempFolder folder;
    const std::string chart = folder.file("chart.png"), out = folder.file("out.png");
    ASSERT_EQ(runRefhost({"chart", "--width", "128", "--height", "64", chart}).exitCode, 0);
    const std::string earlier = "an earlier result";
    const std::string scene = std::string(EXAMPLES_DIR) + "/animated.json";
    const std::vector<std::string> tiny = {"--width", "32", "--height", "18"};
    // The sizes of a two-frame sequence and its contact sheet, written without a limit.
    TempFolder unlimited;
    std::vector<std::string> sequence = {"render", "--scene", scene, "--frames", "1-2"};
    sequence.insert(sequence.end(), tiny.begin(), tiny.end());
    std::vector<std::string> sized = sequence;
    sized.insert(sized.end(), {"--contact-sheet", unlimited.file("sheet.png"), unlimited.file("a.png")});
    ASSERT_EQ(runRefhost(sized).exitCode, 0);
    const auto frameBytes = static_cast<rlim_t>(std::max(std::filesystem::file_size(unlimited.file("a_0001.png")),
                                     std::filesystem::file_size(unlimited.file("a_0002.png"))));
    ASSERT_LT(frameBytes, std::filesystem::file_size(unlimited.file("sheet.png")));

    struct Case {
        std::vector<std::string> args;
        rlim_t limit;
        std::string failedFile;             // named in the message; must not exist unless it did before
        std::vector<std::string> said;      // more parts of the message
        std::set<std::string> writtenFiles;  // new complete files expected beside the inputs
    };
    std::vector<std::string> framesFail = sequence, sheetFails = sequence;
    framesFail.insert(framesFail.end(), {"--contact-sheet", folder.file("sheet.png"), folder.file("a.png")});
    sheetFails.insert(sheetFails.end(), {"--contact-sheet", folder.file("sheet.png"), folder.file("a.png")});
    std::vector<std::string> render = {"render"};
    render.insert(render.end(), tiny.begin(), tiny.end());
    render.push_back(out);
    const std::vector<Case> cases = {
        {{"filter", chart, out}, 256, out, {}, {}},
        {{"chart", out}, 256, out, {}, {}},
        {render, 256, out, {}, {}},
        {framesFail, 256, folder.file("a_0001.png"), {"frame 1 failed after 0 frames were written",
                                                       "the contact sheet was not written"}, {}},
        {sheetFails, frameBytes + 1, folder.file("sheet.png"), {}, {"a_0001.png", "a_0002.png"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " ... " + c.failedFile);
        writeFile(out, earlier);
        const std::set<std::string> before = filesIn(folder.path());
        const CommandResult r = runLimited(c.args, c.limit);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.err.rfind("refhost " + c.args[0] + ": " + c.failedFile + ": cannot write PNG image: File too large", 0),
                  0u)
            << r.err;
        for (const std::string& part : c.said) EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
        EXPECT_EQ(readFile(out), earlier);
        std::set<std::string> expected = before;
        expected.insert(c.writtenFiles.begin(), c.writtenFiles.end());
        EXPECT_EQ(filesIn(folder.path()), expected);
        for (const std::string& name : c.writtenFiles) {
            EXPECT_EQ(readFile(folder.file(name)), readFile(unlimited.file(name))) << name;
            std::filesystem::remove(folder.file(name));
        }
    }
}

TEST(FullDisk, StandardOutputThatCannotBeWrittenIsNoSuccess) {
    for (const bool json : {false, true}) {
        std::vector<std::string> args = {"trace"};
        if (json) args.push_back("--json");
        const CommandResult whole = runRefhost(args);
        ASSERT_EQ(whole.exitCode, 0) << whole.err;
        ASSERT_GT(whole.out.size(), 600u);
        const CommandResult cut = runLimited(args, 512);
        EXPECT_EQ(cut.exitCode, 1) << json;
        EXPECT_NE(cut.err.find("cannot write standard output: File too large"), std::string::npos) << cut.err;
        EXPECT_LE(cut.out.size(), 512u);
    }
}
