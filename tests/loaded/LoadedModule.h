// Helpers for tests that load the built pluginServer.p through the reference host.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "refhost/host/Module.h"
#include "tests/loaded/TestProcess.h"

namespace testing_support {

inline const char* modulePath() { return VELORASTIN_MODULE_PATH; }
inline const char* refhostPath() { return REFHOST_PATH; }
inline std::string fixturePath(const std::string& name) { return std::string(FIXTURE_DIR) + "/" + name + ".p"; }

// The module refhost takes when given none, named as refhost names it: the one
// beside the program, whose own path Windows gives with '\\'.
inline std::string defaultModulePath() {
    std::string folder = refhostPath();
    folder.erase(folder.rfind('/'));
    if (kWindows) std::replace(folder.begin(), folder.end(), '/', '\\');
    return folder + (kWindows ? "\\" : "/") + "pluginServer.p";
}

inline std::unique_ptr<refhost::Module> loadModule(const std::string& path = modulePath()) {
    std::string error;
    auto module = refhost::Module::load(path, error);
    EXPECT_TRUE(module) << error;
    return module;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline CommandResult runRefhost(const std::vector<std::string>& args) { return runProgram(refhostPath(), args); }

} // namespace testing_support
