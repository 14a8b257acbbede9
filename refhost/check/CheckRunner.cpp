// Isolation of one check in a child process, and the report of all checks.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "refhost/check/Check.h"

namespace refhost::check {

namespace {

// The child's last stage note, in memory shared with the parent so that it
// survives the child's crash.
struct StageNote {
    char text[256];
};
StageNote* stageNote = nullptr;

// The child's result on the pipe: kind, then two length-prefixed texts.
constexpr char kPassKind = 'P', kFailKind = 'F', kSkipKind = 'S';

void appendText(std::string& out, const std::string& text) {
    const uint32_t size = static_cast<uint32_t>(text.size());
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out += text;
}

bool takeText(std::string_view& in, std::string& text) {
    uint32_t size;
    if (in.size() < sizeof size) return false;
    std::memcpy(&size, in.data(), sizeof size);
    in.remove_prefix(sizeof size);
    if (in.size() < size) return false;
    text.assign(in.substr(0, size));
    in.remove_prefix(size);
    return true;
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

[[noreturn]] void runChild(const CheckBody& body, int resultFd) {
    // The report on stdout stays the parent's; whatever the module prints goes to stderr.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    char kind = kPassKind;
    std::string detail, reply;
    try {
        body(reply);
    } catch (const CheckFailure& failure) {
        kind = kFailKind;
        detail = failure.text;
    } catch (const CheckSkip& skipped) {
        kind = kSkipKind;
        detail = skipped.why;
    } catch (const std::exception& error) {
        kind = kFailKind;
        detail = std::string("the check itself failed: ") + error.what();
    } catch (...) {
        kind = kFailKind;
        detail = "the check itself failed with an unknown exception";
    }
    std::string message(1, kind);
    appendText(message, detail);
    appendText(message, reply);
    writeAll(resultFd, message);
    std::fflush(stdout);
    // After a failure or skip the instances are left as they were: end without
    // the exit-time work, whose complaints would only hide the result.
    if (kind != kPassKind) _exit(0);
    // The pipe closes when the process ends: the parent waits through the
    // module's static destructors, which run at exit as in a host.
    stage("process exit (the module's static destructors)");
    std::exit(0);
}

std::string signalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    const char* description = strsignal(signal);
    std::string name = abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
    if (description) name += std::string(" (") + description + ")";
    return name;
}

std::string secondsText(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g s", seconds);
    return buffer;
}

std::string xmlEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // XML 1.0 allows no other control characters.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += '?';
            else
                out += c;
        }
    }
    return out;
}

const char* statusWord(Status status) {
    switch (status) {
    case Status::Pass: return "PASS";
    case Status::Fail: return "FAIL";
    case Status::Crash: return "CRASH";
    case Status::Timeout: return "TIMEOUT";
    case Status::Skip: return "SKIP";
    }
    return "?";
}

bool writeText(const char* tempPath, const void* data) {
    const auto& text = *static_cast<const std::string*>(data);
    FILE* file = std::fopen(tempPath, "wb");
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

} // namespace

void fail(const std::string& what) { throw CheckFailure{what}; }

void fail(const std::string& what, const std::string& expected, const std::string& seen) {
    throw CheckFailure{what + ": expected " + expected + ", saw " + seen};
}

void skip(const std::string& why) { throw CheckSkip{why}; }

void stage(const std::string& what) {
    if (!stageNote) return;
    const std::size_t size = std::min(what.size(), sizeof stageNote->text - 1);
    std::memcpy(stageNote->text, what.data(), size);
    stageNote->text[size] = '\0';
}

Outcome runIsolated(const CheckBody& body, double timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    Outcome outcome;
    int fds[2];
    auto* note = static_cast<StageNote*>(
        mmap(nullptr, sizeof(StageNote), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (note == MAP_FAILED || pipe2(fds, O_CLOEXEC) != 0) {
        if (note != MAP_FAILED) munmap(note, sizeof(StageNote));
        return Outcome::of(Status::Crash, std::string("cannot start the check: ") + std::strerror(errno));
    }
    note->text[0] = '\0';
    std::fflush(stdout);
    std::fflush(stderr);
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        stageNote = note;
        runChild(body, fds[1]);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        munmap(note, sizeof(StageNote));
        return Outcome::of(Status::Crash, std::string("cannot start the check: ") + std::strerror(errno));
    }

    // Read until the pipe closes at the child's end, or the time is up.
    std::string received;
    const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(timeoutSeconds));
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd waiting{fds[0], POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    note->text[sizeof note->text - 1] = '\0';
    const std::string lastStage = note->text;
    munmap(note, sizeof(StageNote));

    // A complete result, if the child sent one.
    std::string_view in(received);
    char kind = 0;
    bool hasResult = false;
    if (!in.empty()) {
        kind = in.front();
        in.remove_prefix(1);
        hasResult = takeText(in, outcome.detail) && takeText(in, outcome.reply);
    }
    outcome.reportedPass = hasResult && kind == kPassKind;
    const std::string afterResult =
        hasResult ? std::string(" after reporting ") + (kind == kPassKind ? "PASS" : kind == kSkipKind ? "SKIP" : "FAIL")
                  : "";
    const std::string during = lastStage.empty() ? "" : " (during: " + lastStage + ")";
    if (timedOut) {
        outcome.status = Status::Timeout;
        outcome.detail = "no end within " + secondsText(timeoutSeconds) + afterResult + during;
    } else if (WIFSIGNALED(status)) {
        outcome.status = Status::Crash;
        outcome.detail = signalName(WTERMSIG(status)) + afterResult + during;
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        outcome.status = Status::Crash;
        outcome.detail = "exited with status " + std::to_string(WEXITSTATUS(status)) + afterResult + during;
    } else if (!hasResult) {
        outcome.status = Status::Crash;
        outcome.detail = "the check's process ended without a result" + during;
    } else {
        outcome.status = kind == kPassKind ? Status::Pass : kind == kSkipKind ? Status::Skip : Status::Fail;
    }
    return outcome;
}

void Report::add(const std::string& name, const Outcome& outcome) {
    entries_.push_back({name, outcome});
    if (outcome.detail.empty())
        std::printf("%-8s %s\n", statusWord(outcome.status), name.c_str());
    else
        std::printf("%-8s %s: %s\n", statusWord(outcome.status), name.c_str(), outcome.detail.c_str());
    std::fflush(stdout);
}

bool Report::allPassed() const {
    for (const Entry& e : entries_)
        if (e.outcome.status != Status::Pass && e.outcome.status != Status::Skip) return false;
    return true;
}

void Report::printSummary(uint32_t seed) const {
    int passed = 0, failed = 0, skipped = 0;
    for (const Entry& e : entries_) {
        if (e.outcome.status == Status::Pass)
            ++passed;
        else if (e.outcome.status == Status::Skip)
            ++skipped;
        else
            ++failed;
    }
    std::printf("seed %u\n", seed);
    if (skipped)
        std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    else
        std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
}

bool Report::writeJUnit(const std::string& path, const std::string& modulePath, uint32_t seed,
                        std::string& error) const {
    int failures = 0, errors = 0, skipped = 0;
    double total = 0.0;
    std::string cases;
    for (const Entry& e : entries_) {
        const Outcome& o = e.outcome;
        total += o.seconds;
        const std::size_t slash = e.name.find('/');
        cases += "    <testcase classname=\"" + xmlEscaped(e.name.substr(0, slash)) + "\" name=\"" +
                 xmlEscaped(e.name) + "\" time=\"" + std::to_string(o.seconds) + "\"";
        const std::string message = xmlEscaped(o.detail);
        switch (o.status) {
        case Status::Pass: cases += "/>\n"; continue;
        case Status::Fail:
            ++failures;
            cases += ">\n      <failure message=\"" + message + "\"/>\n";
            break;
        case Status::Crash:
        case Status::Timeout:
            ++errors;
            cases += ">\n      <error type=\"" + std::string(statusWord(o.status)) + "\" message=\"" + message + "\"/>\n";
            break;
        case Status::Skip:
            ++skipped;
            cases += ">\n      <skipped message=\"" + message + "\"/>\n";
            break;
        }
        cases += "    </testcase>\n";
    }
    const std::string counts = "tests=\"" + std::to_string(entries_.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" skipped=\"" +
                               std::to_string(skipped) + "\" time=\"" + std::to_string(total) + "\"";
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"refhost check\" " + counts +
                            ">\n  <testsuite name=\"" + xmlEscaped(modulePath) + "\" " + counts +
                            ">\n    <properties>\n      <property name=\"seed\" value=\"" + std::to_string(seed) +
                            "\"/>\n    </properties>\n" + cases + "  </testsuite>\n</testsuites>\n";
    return writeFileAtomically(path, "JUnit report", writeText, &xml, error);
}

} // namespace refhost::check
