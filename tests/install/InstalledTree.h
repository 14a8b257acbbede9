// Helpers for the tests of the installed tree and of the packages.
#pragma once

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "tests/loaded/LoadedModule.h"

namespace testing_support {

// A temporary folder named by its real path, as refhost names the module it
// finds from its own location.
class RealFolder {
public:
    std::string file(const std::string& name) const { return real_ + "/" + name; }
    const std::string& path() const { return real_; }

private:
    TempFolder folder_;
    std::string real_ = std::filesystem::canonical(folder_.path()).string();
};

// Every file an installation puts under its prefix.
inline std::set<std::string> installedFiles() {
    std::set<std::string> files{"bin/refhost", std::string(MODULE_INSTALL_DIR) + "/pluginServer.p"};
    for (const char* doc : {"README.md", "docs/checks.md", "docs/refhost.md", "docs/development.md", "docs/compare.png",
                            "docs/textured-compare.png", "docs/scene-format.md", "docs/module-authors.md",
                            "examples/module/example.cpp",
                            "examples/scenes/builtin.json", "examples/scenes/textured.json",
                            "examples/scenes/animated.json", "examples/scenes/meshes/vase.obj",
                            "examples/scenes/textures/bricks.png", "examples/scenes/textures/painted-chart.png"})
        files.insert(std::string(DOC_INSTALL_DIR) + "/" + doc);
    if (std::string(MAN_INSTALL_DIR) != "") files.insert(std::string(MAN_INSTALL_DIR) + "/man1/refhost.1.gz");
    return files;
}

// The files (not folders) under `root`, as paths relative to it.
inline std::set<std::string> filesUnder(const std::string& root) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (!entry.is_directory()) files.insert(std::filesystem::relative(entry.path(), root).string());
    return files;
}

// The lines of `text` that end in a file name, as the names after `prefix`
// (archive listings: `tar tzf`, `dpkg-deb --contents`); folders are left out.
inline std::set<std::string> listedFiles(const std::string& text, const std::string& prefix) {
    std::set<std::string> files;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.back() == '/') continue;
        const std::size_t at = line.find(prefix);
        if (at != std::string::npos) files.insert(line.substr(at + prefix.size()));
    }
    return files;
}

inline std::string lastLine(const std::string& text) {
    const std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
    return trimmed.substr(trimmed.rfind('\n') + 1);
}

} // namespace testing_support
