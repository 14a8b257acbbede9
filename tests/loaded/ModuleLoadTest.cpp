// Loading module files as the host does: the built module's descriptor and
// table, the loader's message for each kind of broken file, and `refhost list`.
#include <algorithm>

#include "host/ModuleRecords.h"
#include "tests/loaded/LoadedModule.h"

using namespace testing_support;

TEST(ModuleLoad, DescriptorWordsStartupAndTable) {
    auto module = loadModule();
    ASSERT_TRUE(module);
    const host::ModuleDescriptor& d = module->descriptor();
    EXPECT_EQ(d.sync, 0x04121994u);
    EXPECT_EQ(d.version, 2);
    EXPECT_EQ(d.machine, 0x300u);
    ASSERT_NE(d.startup, nullptr);
    EXPECT_NE(d.shutdown, nullptr);
    EXPECT_EQ(module->startupResult(), 4u);
    EXPECT_EQ(d.startup(), 4u);  // a second call answers the same

    ASSERT_EQ(module->rows().size(), 2u);
    EXPECT_EQ(module->rows()[0].className, "ShaderHandler");
    EXPECT_EQ(module->rows()[0].serverName, "VelorastinShader");
    EXPECT_EQ(module->rows()[1].className, "ImageFilterHandler");
    EXPECT_EQ(module->rows()[1].serverName, "VelorastinFilter");
    EXPECT_EQ(module->rows()[0].record, d.servers);
    EXPECT_NE(module->rows()[0].activate, module->rows()[1].activate);
    const host::ServerRecord& end = d.servers[2];
    EXPECT_EQ(end.className, nullptr);
    EXPECT_EQ(end.serverName, nullptr);
    EXPECT_EQ(end.activate, nullptr);
}

TEST(ModuleLoad, EachBrokenFileGivesOneMessageNamingFileAndFault) {
    TempFolder folder;
    const std::string text = folder.file("notes.p");
    writeFile(text, "not a module, just some notes\n");
    // The first bytes of the other system's library, as far as the loader gets.
    const std::string foreign = folder.file("foreign.p");
    if (kWindows)
        writeFile(foreign, std::string("\x7f" "ELF\1\1\1\0\0\0\0\0\0\0\0\0", 16));
    else
        writeFile(foreign, std::string("MZ\x90\0\3\0\0\0\4\0\0\0\xff\xff\0\0", 16));
    struct Case {
        std::string path;
        std::string fault;
    };
    std::vector<Case> cases = {
        {folder.file("absent.p"), "cannot open"},
        {folder.path(), "not a regular file"},
        {text, "not a loadable 32-bit shared object"},
        {foreign, kWindows ? "is a Linux shared object; load it with the Linux refhost"
                           : "is a Windows DLL; load it with refhost.exe"},
        {fixturePath("no_descriptor"), "exports no _mod_descrip"},
        {fixturePath("bad_sync"), "wrong synchronisation word 0x94191204"},
        {fixturePath("no_end_row"), "no ending row within 257 rows"},
        // The library it needs, by name: the one file the author must ship beside it.
        {fixturePath("needs_absent_helper"), kWindows ? "it needs absent_helper.dll, which is "
                                                        "neither beside it nor in the system folders or on PATH"
                                                      : "absent_helper.so: cannot open shared object file"},
    };
    // Built only where the compiler has a 64-bit mode.
    if (std::filesystem::exists(fixturePath("not_32bit")))
        cases.push_back({fixturePath("not_32bit"), "not a loadable 32-bit shared object"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string error;
        auto module = refhost::Module::load(c.path, error);
        EXPECT_FALSE(module);
        EXPECT_EQ(error.rfind(c.path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.fault), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(error.find("%1"), std::string::npos) << "a system text's insert left as it is: " << error;
    }
}

TEST(ModuleLoad, SixtyFourBitFileNamesTheWrongClass) {
    if (!std::filesystem::exists(fixturePath("not_32bit"))) GTEST_SKIP() << "no 64-bit compiler here";
    std::string error;
    EXPECT_FALSE(refhost::Module::load(fixturePath("not_32bit"), error));
    EXPECT_NE(error.find("ELFCLASS64"), std::string::npos) << error;
}

TEST(RefhostList, PrintsDescriptorAndOneLinePerServer) {
    const CommandResult r = runRefhost({"list", modulePath()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* expected : {"0x04121994", "version     2", "0x300", "startup     4", "servers     2"})
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << " missing from:\n" << r.out;
    std::vector<std::string> serverLines;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (line.find("Handler") != std::string::npos) serverLines.push_back(line);
    ASSERT_EQ(serverLines.size(), 2u) << r.out;
    EXPECT_NE(serverLines[0].find("ShaderHandler"), std::string::npos);
    EXPECT_NE(serverLines[0].find("VelorastinShader"), std::string::npos);
    EXPECT_NE(serverLines[1].find("ImageFilterHandler"), std::string::npos);
    EXPECT_NE(serverLines[1].find("VelorastinFilter"), std::string::npos);
}

TEST(RefhostList, BadFileFailsWithTheLoaderMessageOnStderr) {
    for (const std::string& path : {fixturePath("bad_sync"), std::string("/nonexistent/module.p")}) {
        SCOPED_TRACE(path);
        const CommandResult r = runRefhost({"list", path});
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(path + ": "), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST(RefhostHelp, ExitsZeroAndExplains) {
    const CommandResult top = runRefhost({"--help"});
    EXPECT_EQ(top.exitCode, 0) << top.err;
    for (const char* command : {"list", "filter", "render", "check"})
        EXPECT_NE(top.out.find(command), std::string::npos) << command << " not explained in:\n" << top.out;

    const CommandResult list = runRefhost({"list", "--help"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("FILE"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("server table"), std::string::npos) << list.out;

    const CommandResult none = runRefhost({});
    EXPECT_NE(none.exitCode, 0);
}
