// Isolation of one check in a child process, and the report of all checks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "refhost/check/Check.h"
#include "refhost/platform/Platform.h"

namespace refhost::check {

namespace {

// The warnings of the check that runs in this process.
std::vector<std::string> warnings;

// The child's result on the pipe: kind, then three length-prefixed texts
// (detail, brief, reply).
constexpr char kPassKind = 'P', kWarnKind = 'W', kFailKind = 'F', kSkipKind = 'S';

// Runs a check's body: its kind, and the detail (and a long detail's brief form) that goes with it.
char runBody(const CheckBody& body, std::string& detail, std::string& brief, std::string& reply) {
    warnings.clear();
    char kind = kPassKind;
    try {
        body(reply);
        // The shutdown entry of the check's own load runs as the load ends.
        if (const std::string late = takeLateFault(); !late.empty()) fail(late);
        if (!warnings.empty()) {
            kind = kWarnKind;
            for (std::size_t i = 0; i < warnings.size(); ++i) detail += (i ? "; " : "") + warnings[i];
        }
    } catch (const CheckFailure& failure) {
        kind = kFailKind;
        detail = failure.text;
        brief = failure.brief;
    } catch (const CheckSkip& skipped) {
        kind = kSkipKind;
        detail = skipped.why;
    } catch (const EntryFault& fault) {
        kind = kFailKind;
        detail = fault.what();
    } catch (const std::exception& error) {
        kind = kFailKind;
        detail = std::string("the check itself failed: ") + error.what();
    } catch (...) {
        kind = kFailKind;
        detail = "the check itself failed with an unknown exception";
    }
    return kind;
}

Status statusOfKind(char kind) {
    switch (kind) {
    case kPassKind: return Status::Pass;
    case kWarnKind: return Status::Warn;
    case kSkipKind: return Status::Skip;
    default: return Status::Fail;
    }
}

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

} // namespace

const char* statusWord(Status status) {
    switch (status) {
    case Status::Pass: return "PASS";
    case Status::Warn: return "WARN";
    case Status::Fail: return "FAIL";
    case Status::Crash: return "CRASH";
    case Status::Timeout: return "TIMEOUT";
    case Status::Skip: return "SKIP";
    }
    return "?";
}


void fail(const std::string& what) { throw CheckFailure{what, {}}; }

void fail(const std::string& what, const std::string& expected, const std::string& seen) {
    throw CheckFailure{what + ": expected " + expected + ", saw " + seen, {}};
}

void skip(const std::string& why) { throw CheckSkip{why}; }

void warn(const std::string& what) {
    if (std::find(warnings.begin(), warnings.end(), what) == warnings.end()) warnings.push_back(what);
}

void stage(const std::string& what) { platform::setChildNote(what); }

void runAsChild(const CheckBody& body) {
    platform::becomeChild(&FencedRows::describeFault);
    std::string detail, brief, reply;
    const char kind = runBody(body, detail, brief, reply);
    std::string message(1, kind);
    appendText(message, detail);
    appendText(message, brief);
    appendText(message, reply);
    platform::sendToParent(message);
    // After a failure or skip the instances are left as they were: end without
    // the exit-time work, whose complaints would only hide the result.
    if (kind != kPassKind && kind != kWarnKind) platform::endChild(false);
    // The parent waits through the module's static destructors, which run at
    // exit as in a host.
    stage("process exit (the module's static destructors)");
    platform::endChild(true);
}

Outcome runIsolated(const CheckBody& body, const ChildCommand& child, double timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    Outcome outcome;
    const Clock::time_point start = Clock::now();
    const platform::ChildEnd end = platform::runChild({[&body] { runAsChild(body); }, child.arguments, child.input}, timeoutSeconds);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (end.how == platform::ChildEnd::How::NotStarted)
        return Outcome::of(Status::Crash, "cannot start the check: " + end.why);
    const std::string& received = end.sent;
    const std::string& lastStage = end.note;
    const std::string& fault = end.fault;

    // A complete result, if the child sent one.
    std::string_view in(received);
    char kind = 0;
    bool hasResult = false;
    std::string brief;
    if (!in.empty()) {
        kind = in.front();
        in.remove_prefix(1);
        hasResult = takeText(in, outcome.detail) && takeText(in, brief) && takeText(in, outcome.reply);
    }
    outcome.reportedPass = hasResult && (kind == kPassKind || kind == kWarnKind);
    const std::string afterResult = hasResult ? std::string(" after reporting ") + statusWord(statusOfKind(kind)) : "";
    const std::string during = lastStage.empty() ? "" : " (during: " + lastStage + ")";
    if (end.how == platform::ChildEnd::How::TimedOut) {
        outcome.status = Status::Timeout;
        outcome.detail = "no end within " + secondsText(timeoutSeconds) + afterResult + during;
    } else if (end.how == platform::ChildEnd::How::Crashed) {
        outcome.status = Status::Crash;
        outcome.detail = end.why + (fault.empty() ? "" : ": " + fault) + afterResult + during;
    } else if (end.exitStatus != 0) {
        outcome.status = Status::Crash;
        outcome.detail = "exited with status " + std::to_string(end.exitStatus) + afterResult + during;
    } else if (!hasResult) {
        outcome.status = Status::Crash;
        outcome.detail = "the check's process ended without a result" + during;
    } else {
        outcome.status = statusOfKind(kind);
        outcome.brief = std::move(brief);
    }
    return outcome;
}

Outcome runInProcess(const CheckBody& body) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Outcome outcome;
    const char kind = runBody(body, outcome.detail, outcome.brief, outcome.reply);
    outcome.status = statusOfKind(kind);
    outcome.reportedPass = kind == kPassKind || kind == kWarnKind;
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return outcome;
}

void Report::add(const std::string& name, const Outcome& outcome) {
    entries_.push_back({name, outcome});
    const std::string& detail = verbose_ || outcome.brief.empty() ? outcome.detail : outcome.brief;
    if (detail.empty())
        std::printf("%-8s %s\n", statusWord(outcome.status), name.c_str());
    else
        std::printf("%-8s %s: %s\n", statusWord(outcome.status), name.c_str(), detail.c_str());
    std::fflush(stdout);
}

bool Report::allPassed(bool strict) const {
    for (const Entry& e : entries_) {
        const Status s = e.outcome.status;
        if (s != Status::Pass && s != Status::Skip && !(s == Status::Warn && !strict)) return false;
    }
    return true;
}

void Report::printSummary(uint32_t seed) const {
    int passed = 0, failed = 0, skipped = 0;
    std::string warned;
    int warnings = 0;
    for (const Entry& e : entries_) {
        if (e.outcome.status == Status::Pass || e.outcome.status == Status::Warn)
            ++passed;
        else if (e.outcome.status == Status::Skip)
            ++skipped;
        else
            ++failed;
        if (e.outcome.status == Status::Warn) {
            warned += (warnings ? ", " : "") + e.name;
            ++warnings;
        }
    }
    std::printf("seed %u\n", seed);
    if (warnings) std::printf("%d %s (%s)\n", warnings, warnings == 1 ? "warning" : "warnings", warned.c_str());
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
        case Status::Warn:
            cases += ">\n      <system-out>WARN: " + message + "</system-out>\n";
            break;
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
    return writeFileAtomically(path, "JUnit report", xml, error);
}

bool Report::writeJson(const std::string& path, const std::string& modulePath, uint32_t seed, std::string& error) const {
    int passed = 0, warned = 0, failed = 0, skipped = 0;
    std::string checks;
    for (const Entry& e : entries_) {
        const Outcome& o = e.outcome;
        switch (o.status) {
        case Status::Pass: ++passed; break;
        case Status::Warn: ++passed, ++warned; break;
        case Status::Skip: ++skipped; break;
        default: ++failed;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", o.seconds);
        checks += std::string(checks.empty() ? "" : ",\n") + "    {\"name\": " + jsonText(e.name) +
                  ", \"status\": " + jsonText(statusWord(o.status)) + ", \"detail\": " + jsonText(o.detail) +
                  ", \"seconds\": " + seconds + "}";
    }
    const std::string json = "{\n  \"module\": " + jsonText(modulePath) + ",\n  \"seed\": " + std::to_string(seed) +
                             ",\n  \"passed\": " + std::to_string(passed) + ",\n  \"warned\": " + std::to_string(warned) +
                             ",\n  \"failed\": " + std::to_string(failed) + ",\n  \"skipped\": " +
                             std::to_string(skipped) + ",\n  \"checks\": [\n" + checks + "\n  ]\n}\n";
    return writeFileAtomically(path, "JSON report", json, error);
}

} // namespace refhost::check
