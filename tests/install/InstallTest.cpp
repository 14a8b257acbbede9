// `cmake --install` into a temporary prefix, then the installed refhost at
// work with the module installed beside it, as a user runs them.
#include "tests/install/InstalledTree.h"

using namespace testing_support;

namespace {

// Installs this build tree under `prefix`.
void install(const std::string& prefix) {
    const CommandResult r = runProgram(CMAKE_PROGRAM, {"--install", BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
}

} // namespace

TEST(Install, PutsTheProgramTheModuleAndTheirDocumentsAndNothingElse) {
    RealFolder prefix;
    ASSERT_NO_FATAL_FAILURE(install(prefix.path()));
    EXPECT_EQ(filesUnder(prefix.path()), installedFiles());
    // The pages' links work from where they are installed.
    const CommandResult links =
        runProgram(CMAKE_PROGRAM, {"-DROOT=" + prefix.file(DOC_INSTALL_DIR), "-P", DOC_LINKS_SCRIPT});
    EXPECT_EQ(links.exitCode, 0) << links.out << links.err;
    EXPECT_EQ(access(prefix.file("bin/refhost").c_str(), X_OK), 0);
    // The module installed is the one built, not a fixture.
    EXPECT_EQ(readFile(prefix.file(std::string(MODULE_INSTALL_DIR) + "/pluginServer.p")), readFile(modulePath()));

    const CommandResult version = runProgram(prefix.file("bin/refhost"), {"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, "refhost (velorastin) " PROJECT_VERSION_TEXT "\n");
}

TEST(Install, TheInstalledRefhostListsFiltersAndChecksWithTheModuleInstalledBesideIt) {
    RealFolder prefix;
    ASSERT_NO_FATAL_FAILURE(install(prefix.path()));
    const std::string refhost = prefix.file("bin/refhost");
    const std::string module = prefix.file(std::string(MODULE_INSTALL_DIR) + "/pluginServer.p");

    const CommandResult list = runProgram(refhost, {"list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("module      " + module + "\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("VelorastinFilter"), std::string::npos) << list.out;

    // The installed filter gives the bytes the built one gives.
    RealFolder work;
    const std::string chart = work.file("chart.png");
    ASSERT_EQ(runProgram(refhost, {"chart", "--width", "64", "--height", "16", chart}).exitCode, 0);
    const CommandResult installed = runProgram(refhost, {"filter", chart, work.file("installed.png")});
    EXPECT_EQ(installed.exitCode, 0) << installed.err;
    const CommandResult built = runRefhost({"filter", chart, work.file("built.png")});
    ASSERT_EQ(built.exitCode, 0) << built.err;
    EXPECT_EQ(readFile(work.file("installed.png")), readFile(work.file("built.png")));

    // The example scenes installed with the README render with what came with them.
    const CommandResult render = runProgram(
        refhost, {"render", "--scene", prefix.file(std::string(DOC_INSTALL_DIR) + "/examples/scenes/textured.json"),
                  "--width", "32", "--height", "18", work.file("textured.png")});
    EXPECT_EQ(render.exitCode, 0) << render.err;

    const CommandResult check = runProgram(refhost, {"check", module});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_NE(lastLine(check.out).find(" passed, 0 failed"), std::string::npos) << check.out;
}

TEST(Install, AMovedTreeStillFindsItsModuleAndAnEmptyOneSaysWhereItLooked) {
    RealFolder folder;
    ASSERT_NO_FATAL_FAILURE(install(folder.file("first")));
    std::filesystem::rename(folder.file("first"), folder.file("moved"));
    const std::string refhost = folder.file("moved/bin/refhost");
    const std::string module = folder.file("moved/" + std::string(MODULE_INSTALL_DIR) + "/pluginServer.p");
    const CommandResult moved = runProgram(refhost, {"list"});
    EXPECT_EQ(moved.exitCode, 0) << moved.err;
    EXPECT_NE(moved.out.find("module      " + module + "\n"), std::string::npos) << moved.out;

    std::filesystem::remove(module);
    ASSERT_EQ(runRefhost({"chart", folder.file("in.png")}).exitCode, 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"list"}, {"filter", folder.file("in.png"), folder.file("out.png")},
          {"render", "--width", "8", "--height", "8", folder.file("out.png")}}) {
        SCOPED_TRACE(args[0]);
        const CommandResult r = runProgram(refhost, args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.rfind("refhost " + args[0] + ": no module given", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(folder.file("moved/bin/pluginServer.p")), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(module), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(args[0] == "list" ? "give one as FILE" : "give one as --module FILE"), std::string::npos)
            << r.err;
    }
}
