// The packages cpack makes of this build: what they hold, what the Debian
// package says it needs, and that the programs work where they unpack.
#include <map>
#include <sstream>

#include "tests/install/InstalledTree.h"

using namespace testing_support;

namespace {

const std::string kDeb = "velorastin_" PROJECT_VERSION_TEXT "_i386.deb";
const std::string kTarball = "velorastin-" PROJECT_VERSION_TEXT "-linux-i386";

// Runs cpack on this build tree with the given generators, into `folder`.
void makePackages(const RealFolder& folder, const std::string& generators) {
    const CommandResult r = runProgram(
        CPACK_PROGRAM, {"--config", BUILD_DIR "/CPackConfig.cmake", "-G", generators, "-B", folder.path()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
}

std::string output(const std::string& program, const std::vector<std::string>& args) {
    const CommandResult r = runProgram(program, args);
    EXPECT_EQ(r.exitCode, 0) << program << " " << (args.empty() ? "" : args[0]) << ": " << r.err;
    return r.out;
}

std::string debField(const std::string& deb, const std::string& field) {
    std::string value = output("/usr/bin/dpkg-deb", {"--field", deb, field});
    return value.substr(0, value.find_last_not_of('\n') + 1);
}

// "libc6 (>= 2.35), libfoo1" as package -> least version ("" for none).
std::map<std::string, std::string> parseDepends(const std::string& field) {
    std::map<std::string, std::string> packages;
    std::istringstream items(field);
    for (std::string item; std::getline(items, item, ',');) {
        std::istringstream words(item);
        std::string name, relation, version;
        words >> name >> relation >> version;
        EXPECT_TRUE(relation.empty() || relation == "(>=") << item;
        packages[name] = version.empty() ? "" : version.substr(0, version.size() - 1);
    }
    return packages;
}

// Whether version a ("2.34", "7.0.0") is at most version b, missing parts counting as 0.
bool atMost(const std::string& a, const std::string& b) {
    std::istringstream as(a), bs(b);
    for (;;) {
        std::string x, y;
        const bool moreA = static_cast<bool>(std::getline(as, x, '.'));
        const bool moreB = static_cast<bool>(std::getline(bs, y, '.'));
        if (!moreA && !moreB) return true;
        const int i = moreA ? std::stoi(x) : 0, j = moreB ? std::stoi(y) : 0;
        if (i != j) return i < j;
    }
}

// What a binary asks of a library, as the Debian package that has it and the
// least version of that package (empty: any).
struct Need {
    std::string package, version;
};

Need needOf(const std::string& library, const std::string& symbolVersion) {
    auto after = [&](const std::string& prefix) {
        return symbolVersion.rfind(prefix, 0) == 0 ? symbolVersion.substr(prefix.size()) : std::string();
    };
    if (library == "libc.so.6" || library == "libm.so.6" || library == "ld-linux.so.2")
        return {"libc6", after("GLIBC_")};
    if (library == "libgcc_s.so.1") return {"libgcc-s1", after("GCC_")};
    if (library == "libstdc++.so.6") {
        // The GCC release whose C++ library first has each symbol version.
        static const std::map<int, std::string> releases{{29, "11"}, {30, "12"}, {31, "13"}, {32, "14"}, {33, "14"}};
        const std::string minor = after("GLIBCXX_3.4.");
        if (minor.empty() || std::stoi(minor) < 29) return {"libstdc++6", ""};
        const auto release = releases.find(std::stoi(minor));
        EXPECT_NE(release, releases.end()) << symbolVersion << ": add its GCC release here";
        return {"libstdc++6", release == releases.end() ? "999" : release->second};
    }
    // Debian's libjpeg is libjpeg-turbo's.
    if (library == "libjpeg.so.62") return {"libjpeg62-turbo", ""};
    // libNAME.so.N comes in the package libNAMEN.
    const std::size_t so = library.find(".so.");
    return {library.substr(0, so) + library.substr(so + 4), ""};
}

// Every library `binary` loads and every symbol version it asks of each.
std::vector<std::pair<std::string, std::string>> needsOf(const std::string& binary) {
    std::vector<std::pair<std::string, std::string>> needs;
    std::istringstream dynamic(output("/usr/bin/readelf", {"--dynamic", "--wide", binary}));
    for (std::string line; std::getline(dynamic, line);)
        if (const std::size_t at = line.find("Shared library: ["); at != std::string::npos)
            needs.emplace_back(line.substr(at + 17, line.find(']', at) - at - 17), "");
    std::istringstream versions(output("/usr/bin/readelf", {"--version-info", "--wide", binary}));
    std::string library;
    for (std::string line; std::getline(versions, line);) {
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            if (word == "File:") words >> library;
            if (word == "Name:" && !library.empty()) {
                std::string name;
                words >> name;
                needs.emplace_back(library, name);
            }
        }
    }
    return needs;
}

} // namespace

TEST(Packages, HoldTheInstalledFilesAndTheirProgramsRunWhereTheyUnpack) {
    RealFolder folder;
    ASSERT_NO_FATAL_FAILURE(makePackages(folder, "TGZ;DEB"));
    const std::string deb = folder.file(kDeb), tarball = folder.file(kTarball + ".tar.gz");

    EXPECT_EQ(debField(deb, "Package"), "velorastin");
    EXPECT_EQ(debField(deb, "Version"), PROJECT_VERSION_TEXT);
    EXPECT_EQ(debField(deb, "Architecture"), "i386");
    std::set<std::string> underUsr;
    for (const std::string& file : installedFiles()) underUsr.insert("usr/" + file);
    EXPECT_EQ(listedFiles(output("/usr/bin/dpkg-deb", {"--contents", deb}), " ./"), underUsr);
    EXPECT_EQ(listedFiles(output("/usr/bin/tar", {"tzf", tarball}), kTarball + "/"), installedFiles());

    // Each unpacked refhost finds the module unpacked with it.
    output("/usr/bin/dpkg-deb", {"-x", deb, folder.file("deb")});
    std::filesystem::create_directory(folder.file("tgz"));
    output("/usr/bin/tar", {"xzf", tarball, "-C", folder.file("tgz")});
    for (const std::string& root : {folder.file("deb/usr"), folder.file("tgz/" + kTarball)}) {
        SCOPED_TRACE(root);
        const std::string listing = output(root + "/bin/refhost", {"list"});
        EXPECT_NE(listing.find("module      " + root + "/" MODULE_INSTALL_DIR "/pluginServer.p\n"), std::string::npos)
            << listing;
        EXPECT_NE(listing.find("VelorastinShader"), std::string::npos) << listing;
    }
}

TEST(Packages, TheDebianPackageDependsOnEveryLibraryItsBinariesLoad) {
    RealFolder folder;
    ASSERT_NO_FATAL_FAILURE(makePackages(folder, "DEB"));
    const std::string deb = folder.file(kDeb);
    const std::map<std::string, std::string> depends = parseDepends(debField(deb, "Depends"));
    output("/usr/bin/dpkg-deb", {"-x", deb, folder.file("root")});
    for (const char* binary : {"usr/bin/refhost", "usr/" MODULE_INSTALL_DIR "/pluginServer.p"}) {
        SCOPED_TRACE(binary);
        const auto needs = needsOf(folder.file("root/" + std::string(binary)));
        EXPECT_FALSE(needs.empty());
        for (const auto& [library, symbolVersion] : needs) {
            const Need need = needOf(library, symbolVersion);
            const auto declared = depends.find(need.package);
            ASSERT_NE(declared, depends.end()) << library << " comes in " << need.package << ", not in Depends";
            if (!need.version.empty()) {
                EXPECT_TRUE(atMost(need.version, declared->second))
                    << library << " " << symbolVersion << " needs " << need.package << " (>= " << need.version
                    << "), Depends says (>= " << declared->second << ")";
            }
        }
    }
}
