// Names with letters beyond ASCII, as users write them: each kind of path
// refhost reads, writes or is started from, and a server's name. Windows hands
// refhost.exe its names as UTF-16, where the ANSI code page would lose letters;
// every file must come out under the very name given (in UTF-8, its bytes).
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/loaded/LoadedModule.h"

namespace {

namespace fs = std::filesystem;
using testing_support::runProgram;
using testing_support::TempFolder;

// A path from UTF-8 text, whatever the system's own form.
fs::path pathOf(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::set<std::string> entriesOf(const TempFolder& folder) {
    const std::vector<std::string> names = folder.entries();
    return {names.begin(), names.end()};
}

// The image every filter row reads, made once and copied under other names.
void makeChart(const std::string& path) {
    const auto made = testing_support::runRefhost({"chart", "--width", "16", "--height", "8", path});
    ASSERT_EQ(made.exitCode, 0) << made.err;
}

struct NamedRun {
    const char* kind;
    std::string program;
    std::vector<std::string> args;
    std::set<std::string> created;  // the new names in the folder, byte for byte
    std::string shown = {};         // a part of standard output
};

TEST(Names, EveryKindOfPathKeepsItsLetters) {
    const TempFolder folder;
    const std::string in = folder.path() + "/";
    const std::string module = testing_support::modulePath();
    const std::string examples = EXAMPLES_DIR;
    makeChart(folder.file("source.png"));
    fs::copy_file(module, pathOf(in + "module é.p"));
    fs::copy_file(folder.file("source.png"), pathOf(in + "entrée é.png"));
    fs::create_directory(pathOf(in + "tex dir"));
    fs::copy_file(folder.file("source.png"), pathOf(in + "tex dir/dégradé.png"));
    fs::copy_file(examples + "/meshes/vase.obj", pathOf(in + "forme é.obj"));
    testing_support::writeFile(folder.file("plain.json"), R"({"objects": [{"type": "sphere"}]})");
    fs::rename(folder.file("plain.json"), pathOf(in + "scène é.json"));
    testing_support::writeFile(folder.file("texture.json"),
                               R"({"surfaces": {"s": {"texture": "tex dir/dégradé.png"}},
                                   "objects": [{"type": "sphere", "surface": "s"}]})");
    testing_support::writeFile(folder.file("mesh.json"), R"({"objects": [{"type": "mesh", "file": "forme é.obj"}]})");
    // refhost without a module takes the pluginServer.p beside itself.
    const std::string program = testing_support::refhostPath();
    const std::string copied = in + "Mes modules é/" + program.substr(program.rfind('/') + 1);
    fs::create_directory(pathOf(in + "Mes modules é"));
    fs::copy_file(program, pathOf(copied));
    fs::copy_file(module, pathOf(in + "Mes modules é/pluginServer.p"));
    const std::string separator = testing_support::kWindows ? "\\" : "/";
    auto render = [&](const std::string& scene, const std::string& output) {
        return std::vector<std::string>{"render", "--module", module, "--width", "8", "--height", "6",
                                        "--scene", in + scene, in + output};
    };

    const std::vector<NamedRun> runs = {
        {"module", program, {"list", in + "module é.p"}, {}, "module      " + in + "module é.p\n"},
        {"input image", program, {"filter", "--module", module, in + "entrée é.png", in + "filtered.png"}, {"filtered.png"}},
        {"output", program, {"chart", in + "chart é.png"}, {"chart é.png"}},
        // Another letter the code page would turn into the same byte as the last.
        {"output of a filter", program, {"filter", "--module", module, in + "source.png", in + "sortie ô.png"},
         {"sortie ô.png"}},
        {"a letter outside code page 1252", program, {"chart", in + "Ωmega.png"}, {"Ωmega.png"}},
        {"report", program, {"check", "--only", "load", "--junit", in + "rapport é.xml", module}, {"rapport é.xml"}},
        {"scene", program, render("scène é.json", "scene.png"), {"scene.png"}},
        {"texture in a scene", program, render("texture.json", "textured.png"), {"textured.png"}},
        {"mesh in a scene", program, render("mesh.json", "mesh.png"), {"mesh.png"}},
        {"the program's folder", copied, {"list"}, {}, "Mes modules é" + separator + "pluginServer.p\n"},
    };
    for (const NamedRun& run : runs) {
        SCOPED_TRACE(run.kind);
        const std::set<std::string> before = entriesOf(folder);
        const testing_support::CommandResult result = runProgram(run.program, run.args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.out.find(run.shown), std::string::npos) << run.shown << "\n" << result.out;
        std::set<std::string> created;
        for (const std::string& name : entriesOf(folder))
            if (!before.contains(name)) created.insert(name);
        EXPECT_EQ(created, run.created);
    }
}

// Its check children are refhost started again with the check's name, which
// holds the server's; filter picks the server by the name as written.
TEST(Names, AServerNamedBeyondAsciiPassesItsChecksAndIsChosenByName) {
    const std::string module = testing_support::fixturePath("accented_name");
    const testing_support::CommandResult check = testing_support::runRefhost({"check", module});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("\nPASS     versions/TinyFiltré\n"), std::string::npos) << check.out;

    const TempFolder folder;
    makeChart(folder.file("source.png"));
    const testing_support::CommandResult filter = testing_support::runRefhost(
        {"filter", "--module", module, "--server", "TinyFiltré", folder.file("source.png"), folder.file("out.png")});
    EXPECT_EQ(filter.exitCode, 0) << filter.err;
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"out.png", "source.png"}));
}

} // namespace
