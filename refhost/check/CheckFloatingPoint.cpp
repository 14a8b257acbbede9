// Floating-point settings: a host calls a module with its own x87 control
// word and MXCSR, which need not be the ones the module was written for. A
// module's results must not depend on them (the 32-bit C library's pow runs
// on the x87 unit and follows its precision and rounding; SSE arithmetic
// follows MXCSR's rounding, flush-to-zero and denormals-are-zero), and every
// entry must return with the settings the host called it with.
//
// The computing entries run first under the defaults, which give the
// reference results, then under each of four other settings, all in the same
// process; the settings are set before every entry call (the defaults
// included, so that a module that leaves its own behind cannot shift the
// reference) and the defaults are back after it.
#include <cstdio>
#include <type_traits>

#include "refhost/check/Check.h"
#include "refhost/host/FloatingPointState.h"
#include "refhost/image/ImageJob.h"

namespace refhost::check {

namespace {

constexpr int32_t kFrame = 1;
constexpr double kTime = 1.0 / 30.0;
constexpr double kImageTime = 0.5;
constexpr uint8_t kOutputSentinel = 0xA5;

struct Setting {
    const char* name;
    FloatingPointState state;
};

constexpr Setting kDefault{"the default settings", FloatingPointState{}};
constexpr Setting kOthers[] = {
    {"x87 precision 24-bit", {0x007F, 0x1F80}},
    {"x87 precision 53-bit", {0x027F, 0x1F80}},
    {"rounding toward zero", {0x0F7F, 0x7F80}},
    {"flush-to-zero and denormals-are-zero", {0x037F, 0x9FC0}},
};

std::string settingText(const Setting& setting) {
    char words[64];
    std::snprintf(words, sizeof words, " (x87 control word 0x%04x, MXCSR 0x%04x)", setting.state.x87Control,
                  setting.state.mxcsr);
    return setting.name + std::string(words);
}

// Skips the check where the settings do not hold: valgrind, for one, runs the
// x87 unit at 64-bit precision only and reads every control word back as 0x037F.
void requireSettingsHeld() {
    for (const Setting& setting : kOthers) {
        setFloatingPoint(setting.state);
        const FloatingPointState held = restoreDefaultFloatingPoint();
        if (!held.sameSettings(setting.state)) {
            char words[64];
            std::snprintf(words, sizeof words, "x87 control word 0x%04x, MXCSR 0x%04x", held.x87Control,
                          held.mxcsr & ~kMxcsrExceptionFlags);
            skip("this processor or emulator does not keep " + settingText(setting) + ": set, they read back as " +
                 words);
        }
    }
}

// Calls entries with a setting in force and notes each entry that returned
// with other settings: the first call of each entry under each setting is
// named, the others counted.
class SettingsWatch {
public:
    template <class Call>
    auto under(const Setting& setting, const std::string& entry, const std::string& detail, Call call) {
        stage(entry + (detail.empty() ? "" : " (" + detail + ")") + " under " + settingText(setting));
        setFloatingPoint(setting.state);
        if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
            call();
            note(setting, entry, detail, restoreDefaultFloatingPoint());
        } else {
            auto result = call();
            note(setting, entry, detail, restoreDefaultFloatingPoint());
            return result;
        }
    }

    std::vector<std::string> problems() const {
        std::vector<std::string> texts;
        for (const Changed& c : changed_)
            texts.push_back(c.text + (c.more ? "; and so did " + decimal(c.more) + " more calls of it" : ""));
        return texts;
    }

private:
    struct Changed {
        std::string key;
        std::string text;
        uint64_t more = 0;
    };

    void note(const Setting& setting, const std::string& entry, const std::string& detail,
              const FloatingPointState& left) {
        const std::string change = settingsChange(setting.state, left);
        if (change.empty()) return;
        const std::string key = std::string(setting.name) + "\n" + entry;
        for (Changed& c : changed_) {
            if (c.key == key) {
                ++c.more;
                return;
            }
        }
        changed_.push_back({key, entry + (detail.empty() ? "" : " (" + detail + ")") + " under " +
                                     settingText(setting) + ": returned with " + change});
    }

    std::vector<Changed> changed_;
};

// ---- shaders ----

struct ShaderRun {
    std::string newTimeMessage;
    std::vector<host::SampleAccess> records;
};

ShaderRun runShader(ShaderDriver& shader, const std::vector<host::SampleAccess>& records, const Setting& setting,
                    SettingsWatch& watch) {
    host::ShaderHandler& table = shader.table;
    const host::Instance instance = watch.under(setting, "create entry", "", [&] { return callEntry("create", table.create, nullptr); });
    if (!instance) fail("create entry under " + settingText(setting), "an instance", "null");
    ShaderRun run;
    run.newTimeMessage =
        messageText(watch.under(setting, "newTime entry", "", [&] { return callEntry("newTime", table.newTime, instance, kFrame, kTime); }));
    run.records = records;
    for (std::size_t n = 0; n < run.records.size(); ++n) {
        host::SampleAccess& record = run.records[n];
        watch.under(setting, "evaluate entry", "record " + std::to_string(n),
                    [&] { callEntry("evaluate", table.evaluate, instance, &record); });
    }
    watch.under(setting, "destroy entry", "", [&] { callEntry("destroy", table.destroy, instance); });
    return run;
}

// The first difference of a record from its reference, or empty.
std::string recordDifference(const host::SampleAccess& input, const host::SampleAccess& expected,
                             const host::SampleAccess& seen) {
    const std::size_t offset = firstDifference(expected, seen);
    if (offset == sizeof seen) return {};
    const auto* a = reinterpret_cast<const uint8_t*>(&expected);
    const auto* b = reinterpret_cast<const uint8_t*>(&seen);
    const std::string item = "item id " + hex(seen.itemId);
    if (offset >= host::kSampleWritableBegin && offset < host::kSampleWritableEnd) {
        // The writable fields are all doubles.
        const std::size_t at = offset - (offset - host::kSampleWritableBegin) % sizeof(double);
        double from, e, s;
        std::memcpy(&from, reinterpret_cast<const uint8_t*>(&input) + at, sizeof from);
        std::memcpy(&e, a + at, sizeof e);
        std::memcpy(&s, b + at, sizeof s);
        return item + ", " + writableDoubleName(at) + " from " + doubleText(from) + ": expected " + doubleText(e) +
               " as under the default settings, saw " + doubleText(s);
    }
    return item + ", record byte " + std::to_string(offset) + " (" + sampleFieldAt(offset) + "): expected " +
           hexByte(a[offset]) + " as under the default settings, saw " + hexByte(b[offset]);
}

void checkShader(ShaderDriver& shader) {
    const std::vector<host::SampleAccess> records = awkwardRecords();
    SettingsWatch watch;
    const ShaderRun reference = runShader(shader, records, kDefault, watch);
    std::vector<std::string> differences;
    for (const Setting& setting : kOthers) {
        const ShaderRun run = runShader(shader, records, setting, watch);
        const std::string under = "under " + settingText(setting) + ": ";
        if (run.newTimeMessage != reference.newTimeMessage)
            differences.push_back(under + "newTime entry's message: expected " + reference.newTimeMessage +
                                  " as under the default settings, saw " + run.newTimeMessage);
        std::string first;
        std::size_t differing = 0;
        for (std::size_t n = 0; n < records.size(); ++n) {
            const std::string difference = recordDifference(records[n], reference.records[n], run.records[n]);
            if (difference.empty()) continue;
            if (!differing) first = "evaluate entry, record " + std::to_string(n) + " (" + difference + ")";
            ++differing;
        }
        if (differing)
            differences.push_back(under + first + "; " + decimal(differing) + " of " + decimal(records.size()) +
                                  " records differ");
    }
    std::vector<std::string> problems = watch.problems();
    problems.insert(problems.end(), differences.begin(), differences.end());
    if (!problems.empty()) failWith(problems);
}

// ---- image filters ----

Image runFilter(FilterDriver& filter, const Image& source, const Setting& setting, SettingsWatch& watch) {
    host::ImageFilterHandler& table = filter.table;
    const host::Instance instance = watch.under(setting, "create entry", "", [&] { return callEntry("create", table.create, nullptr); });
    if (!instance) fail("create entry under " + settingText(setting), "an instance", "null");
    ImageJob job(source, kImageTime);
    job.fillOutput(kOutputSentinel);
    watch.under(setting, "process entry", "", [&] { callEntry("process", table.process, instance, &job.access()); });
    watch.under(setting, "destroy entry", "", [&] { callEntry("destroy", table.destroy, instance); });
    return job.output;
}

void checkFilter(FilterDriver& filter) {
    static const char* const channels[] = {"red", "green", "blue", "alpha"};
    const Image source = everyByteImage();
    SettingsWatch watch;
    const Image reference = runFilter(filter, source, kDefault, watch);
    std::vector<std::string> differences;
    for (const Setting& setting : kOthers) {
        const Image output = runFilter(filter, source, setting, watch);
        std::string first;
        std::size_t differing = 0;
        for (int32_t y = 0; y < source.height; ++y) {
            for (int32_t x = 0; x < source.width; ++x) {
                for (int c = 0; c < 4; ++c) {
                    const uint8_t expected = reference.pixel(x, y)[c];
                    const uint8_t seen = output.pixel(x, y)[c];
                    if (expected == seen) continue;
                    if (!differing)
                        first = "process entry, " + std::string(channels[c]) + " of pixel (" + std::to_string(x) +
                                ", " + std::to_string(y) + ") from " + std::to_string(source.pixel(x, y)[c]) +
                                ": expected " + std::to_string(expected) + " as under the default settings, saw " +
                                std::to_string(seen);
                    ++differing;
                }
            }
        }
        if (differing)
            differences.push_back("under " + settingText(setting) + ": " + first + "; " + decimal(differing) + " of " +
                                  decimal(source.rgba.size()) + " bytes differ");
    }
    std::vector<std::string> problems = watch.problems();
    problems.insert(problems.end(), differences.begin(), differences.end());
    if (!problems.empty()) failWith(problems);
}

} // namespace

std::vector<CheckDefinition> floatingPointChecks(const ModuleFacts& facts) {
    return handlerRowChecks(
        facts, "fpenv",
        [](ShaderDriver& shader) {
            requireSettingsHeld();
            checkShader(shader);
        },
        [](FilterDriver& filter) {
            requireSettingsHeld();
            checkFilter(filter);
        });
}

} // namespace refhost::check
