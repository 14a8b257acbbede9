// Helpers for tests that load the built pluginServer.p through the reference host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "refhost/Module.h"

namespace testing_support {

inline const char* modulePath() { return VELORASTIN_MODULE_PATH; }
inline const char* refhostPath() { return REFHOST_PATH; }

inline std::unique_ptr<refhost::Module> loadModule(const std::string& path = modulePath()) {
    std::string error;
    auto module = refhost::Module::load(path, error);
    EXPECT_TRUE(module) << error;
    return module;
}

} // namespace testing_support
