// Helpers for tests that load the built pluginServer.p through the reference host.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "refhost/host/Module.h"

extern char** environ;

namespace testing_support {

inline const char* modulePath() { return VELORASTIN_MODULE_PATH; }
inline const char* refhostPath() { return REFHOST_PATH; }
inline std::string fixturePath(const std::string& name) { return std::string(FIXTURE_DIR) + "/" + name + ".p"; }

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

// A fresh folder under the test's temporary directory, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = testing::TempDir() + "/refhost-test-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
        EXPECT_FALSE(path_.empty()) << "cannot create a temporary folder";
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct CommandResult {
    int exitCode = -1;  // the exit status, or 128 + the signal that ended the program
    std::string out, err;
};

// Runs `program` with `args` (no shell), capturing its standard output and error.
inline CommandResult runProgram(const std::string& program, const std::vector<std::string>& args) {
    CommandResult result;
    TempFolder folder;
    const std::string outPath = folder.file("stdout"), errPath = folder.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << "cannot run " << program;
    if (spawned != 0) return result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

inline CommandResult runRefhost(const std::vector<std::string>& args) { return runProgram(refhostPath(), args); }

// Waits up to `seconds` for child `pid` to end and returns its wait status;
// a child still running then is killed, and false is returned.
inline bool waitForExit(pid_t pid, int seconds, int& status) {
    for (int i = 0; i < seconds * 100; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return true;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

} // namespace testing_support
