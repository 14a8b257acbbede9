// Isolation of one check in a child process, and the report of all checks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "refhost/check/Check.h"
#include "refhost/host/Utf8.h"
#include "refhost/platform/Platform.h"

namespace refhost::check {

namespace {

// The warnings of the check that runs in this process.
std::vector<std::string> warnings;
// What the check last said it was doing (stage).
std::string lastStage;

// The last stage of a child that reported: what is left runs at exit.
const char* const kExitStage = "process exit (the module's static destructors)";

// The child's result on the pipe: kind, then three length-prefixed texts
// (detail, brief, reply).
constexpr char kPassKind = 'P', kWarnKind = 'W', kFailKind = 'F', kSkipKind = 'S';

// Runs a check's body: its kind, and the detail (and a long detail's brief form) that goes with it.
char runBody(const CheckBody& body, std::string& detail, std::string& brief, std::string& reply) {
    warnings.clear();
    lastStage.clear();
    char kind = kPassKind;
    try {
        // After refhost's own set-up (the child's channel, its fault handlers),
        // so that only what the module changes counts.
        takeProcessBaseline();
        body(reply);
        holdProcessState(lastStage.empty() ? "the check" : "the check's calls (the last: " + lastStage + ")");
        // The shutdown entry of the check's own load runs as the load ends.
        if (const std::string late = takeLateFault(); !late.empty()) fail(late);
        // A misuse of the heap that the C runtime lets pass.
        if (const std::string heap = platform::heapMisuse(); !heap.empty()) fail(heap);
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

// What a child printed besides its result, quoted for a check's line: at
// most kQuotedPrinted bytes, each control character and stray byte as \xNN.
// In a check that passed only the module prints; after a failure or crash
// the C library or refhost may have spoken too.
std::string printedText(const platform::ChildEnd& end, bool passed) {
    constexpr std::size_t kQuotedPrinted = 160;
    const std::size_t shown = std::min(end.printed.size(), kQuotedPrinted);
    std::string text = (passed ? "the module printed " : "the check's process printed ") +
                       quoted(labelOf(end.printed.substr(0, shown)));
    if (shown < end.printedBytes) text += " (the first " + decimal(shown) + " of " + decimal(end.printedBytes) + " bytes)";
    return text + " on standard output or error, where a host gives it no console";
}

std::string secondsText(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g s", seconds);
    return buffer;
}

// XML 1.0 holds no control character but tab and the line ends, not even as a
// reference, nor U+FFFE and U+FFFF: those become U+FFFD. Tab and the line ends
// are written as references, which an attribute keeps (a parser turns them
// into spaces when written as they are).
std::string xmlEscaped(const std::string& text) {
    const std::string valid = validUtf8(text);
    std::string out;
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const char c = valid[i];
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += kReplacementCharacter;
            } else if (valid.compare(i, 2, "\xEF\xBF") == 0 && static_cast<unsigned char>(valid[i + 2]) >= 0xBE) {
                out += kReplacementCharacter;
                i += 2;
            } else {
                out += c;
            }
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

void stage(const std::string& what) {
    lastStage = what;
    platform::setChildNote(what);
}

void runAsChild(const CheckBody& body) {
    platform::becomeChild(&FencedRows::describeFault);
    platform::watchLibraryFrees();
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
    stage(kExitStage);
    platform::endChild(true);
}

Outcome runIsolated(const CheckBody& body, const ChildCommand& child, double timeoutSeconds, double exitSeconds) {
    using Clock = std::chrono::steady_clock;
    Outcome outcome;
    const Clock::time_point start = Clock::now();
    const platform::ChildEnd end = platform::runChild(
        {[&body] { runAsChild(body); }, child.arguments, child.input, exitSeconds}, timeoutSeconds);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (end.how == platform::ChildEnd::How::NotStarted)
        return Outcome::of(Status::Crash, "cannot start the check: " + end.why);
    if (end.how == platform::ChildEnd::How::Stopped) {
        outcome.stopped = true;
        return outcome;
    }
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
    outcome.exitHung = end.how == platform::ChildEnd::How::TimedOut && hasResult && end.closedChannel &&
                       lastStage == kExitStage && outcome.reportedPass;
    if (outcome.exitHung && exitSeconds >= 0) {
        // Known not to return: the result the check reported stands.
        outcome.status = statusOfKind(kind);
        outcome.brief = std::move(brief);
    } else if (outcome.exitHung) {
        outcome.status = Status::Fail;
        const std::string reported = outcome.detail.empty() ? "" : "; " + outcome.detail;
        outcome.detail = "the module's static destructors do not return: the process had not ended " +
                         secondsText(timeoutSeconds) + " after it started, when the check had reported " +
                         statusWord(statusOfKind(kind)) + reported;
    } else if (end.how == platform::ChildEnd::How::TimedOut) {
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
    if (end.printedBytes > 0) {
        const bool passed = outcome.status == Status::Pass || outcome.status == Status::Warn;
        const std::string printed = printedText(end, passed);
        if (outcome.status == Status::Pass) outcome.status = Status::Warn;
        outcome.detail += (outcome.detail.empty() ? "" : "; ") + printed;
        if (!outcome.brief.empty()) outcome.brief += "; " + printed;
        // What a sanitizer or the C library said of a crash is wanted whole,
        // as far as it was kept, not only its start on the check's line.
        if (outcome.status == Status::Crash) {
            platform::writeText(stderr, "the check's process printed:\n" + validUtf8(end.printed));
            if (end.printed.empty() || end.printed.back() != '\n') platform::writeText(stderr, "\n");
        }
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
    if (outcome.stopped) return;
    entries_.push_back({name, outcome});
    // One line each, whatever bytes a module's names bring into the detail.
    const std::string detail = printable(verbose_ || outcome.brief.empty() ? outcome.detail : outcome.brief);
    if (detail.empty())
        platform::print(stdout, "%-8s %s\n", statusWord(outcome.status), printable(name).c_str());
    else
        platform::print(stdout, "%-8s %s: %s\n", statusWord(outcome.status), printable(name).c_str(), detail.c_str());
    std::fflush(stdout);
}

bool Report::fails(const Entry& entry) const {
    const Status s = entry.outcome.status;
    return s == Status::Fail || s == Status::Crash || s == Status::Timeout || (s == Status::Warn && strict_);
}

Report::Counts Report::counts() const {
    Counts counts;
    for (const Entry& e : entries_) {
        if (e.outcome.status == Status::Warn) ++counts.warned;
        if (fails(e))
            ++counts.failed;
        else if (e.outcome.status == Status::Skip)
            ++counts.skipped;
        else
            ++counts.passed;
    }
    return counts;
}

std::string Report::countsText() const {
    const Counts counts = this->counts();
    return std::to_string(counts.passed) + " passed, " + std::to_string(counts.failed) + " failed" +
           (counts.skipped ? ", " + std::to_string(counts.skipped) + " skipped" : "");
}

bool Report::allPassed() const { return counts().failed == 0; }

void Report::printSummary(uint32_t seed) const {
    const Counts counts = this->counts();
    std::string warned;
    for (const Entry& e : entries_)
        if (e.outcome.status == Status::Warn) warned += (warned.empty() ? "" : ", ") + printable(e.name);
    platform::print(stdout, "seed %u\n", seed);
    if (counts.warned)
        platform::print(stdout, "%d %s (%s)%s\n", counts.warned, counts.warned == 1 ? "warning" : "warnings", warned.c_str(),
                    strict_ ? ", failed under --strict" : "");
    platform::print(stdout, "%s\n", countsText().c_str());
    std::fflush(stdout);
}

void Report::printInterrupted(uint32_t seed, const std::string& during) const {
    platform::print(stdout, "seed %u\ninterrupted%s; %s before it\n", seed,
                during.empty() ? "" : (" during " + printable(during)).c_str(), countsText().c_str());
    std::fflush(stdout);
}

bool Report::writeJUnit(const std::string& path, const std::string& modulePath, uint32_t seed,
                        std::string& error) const {
    // A crash or timeout is an error; a broken rule, and under strict a warning, a failure.
    int errors = 0;
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
            if (strict_)
                cases += ">\n      <failure type=\"WARN\" message=\"" + message + "\"/>\n";
            else
                cases += ">\n      <system-out>WARN: " + message + "</system-out>\n";
            break;
        case Status::Fail:
            cases += ">\n      <failure message=\"" + message + "\"/>\n";
            break;
        case Status::Crash:
        case Status::Timeout:
            ++errors;
            cases += ">\n      <error type=\"" + std::string(statusWord(o.status)) + "\" message=\"" + message + "\"/>\n";
            break;
        case Status::Skip:
            cases += ">\n      <skipped message=\"" + message + "\"/>\n";
            break;
        }
        cases += "    </testcase>\n";
    }
    const Counts counts = this->counts();
    const std::string attributes = "tests=\"" + std::to_string(entries_.size()) + "\" failures=\"" +
                                   std::to_string(counts.failed - errors) + "\" errors=\"" + std::to_string(errors) +
                                   "\" skipped=\"" + std::to_string(counts.skipped) + "\" time=\"" +
                                   std::to_string(total) + "\"";
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"refhost check\" " +
                            attributes + ">\n  <testsuite name=\"" + xmlEscaped(modulePath) + "\" " + attributes +
                            ">\n    <properties>\n      <property name=\"seed\" value=\"" + std::to_string(seed) +
                            "\"/>\n      <property name=\"strict\" value=\"" + (strict_ ? "true" : "false") +
                            "\"/>\n    </properties>\n" + cases + "  </testsuite>\n</testsuites>\n";
    return writeFileAtomically(path, "JUnit report", xml, error);
}

bool Report::writeJson(const std::string& path, const std::string& modulePath, uint32_t seed, std::string& error) const {
    std::string checks;
    for (const Entry& e : entries_) {
        const Outcome& o = e.outcome;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", o.seconds);
        checks += std::string(checks.empty() ? "" : ",\n") + "    {\"name\": " + jsonText(e.name) +
                  ", \"status\": " + jsonText(statusWord(o.status)) + ", \"detail\": " + jsonText(o.detail) +
                  ", \"seconds\": " + seconds + "}";
    }
    const Counts counts = this->counts();
    const std::string json = "{\n  \"module\": " + jsonText(modulePath) + ",\n  \"seed\": " + std::to_string(seed) +
                             ",\n  \"strict\": " + (strict_ ? "true" : "false") + ",\n  \"passed\": " +
                             std::to_string(counts.passed) + ",\n  \"warned\": " + std::to_string(counts.warned) +
                             ",\n  \"failed\": " + std::to_string(counts.failed) + ",\n  \"skipped\": " +
                             std::to_string(counts.skipped) + ",\n  \"checks\": [\n" + checks + "\n  ]\n}\n";
    return writeFileAtomically(path, "JSON report", json, error);
}

} // namespace refhost::check
