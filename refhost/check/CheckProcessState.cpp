// What a module may not change in the process that loads it, compared with
// how the check found it.
#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "refhost/check/Check.h"
#include "refhost/host/FloatingPointState.h"

namespace refhost::check {

namespace {

ProcessBaseline baseline;

ProcessBaseline processNow() {
    const FloatingPointState settings = currentFloatingPoint();
    ProcessBaseline now{{"the x87 control word", x87ControlText(settings.x87Control & kX87SettingBits)},
                        {"MXCSR", mxcsrText(settings.mxcsr)}};
    std::vector<platform::ProcessProperty> system = platform::processProperties();
    now.insert(now.end(), std::make_move_iterator(system.begin()), std::make_move_iterator(system.end()));
    return now;
}

std::string valueText(const std::string* value) { return value ? *value : "unset"; }

std::vector<std::string> differences(const ProcessBaseline& now, const std::string& step) {
    std::map<std::string, const std::string*> before;
    for (const platform::ProcessProperty& p : baseline) before[p.name] = &p.value;
    std::vector<std::string> changes;
    auto changed = [&](const std::string& name, const std::string* from, const std::string* to) {
        changes.push_back(step + " changed " + name + ": " + valueText(from) + " before, " + valueText(to) + " after");
    };
    for (const platform::ProcessProperty& p : now) {
        const auto found = before.find(p.name);
        const std::string* from = found == before.end() ? nullptr : found->second;
        if (!from || *from != p.value) changed(p.name, from, &p.value);
        if (found != before.end()) before.erase(found);
    }
    for (const auto& [name, value] : before) changed(name, value, nullptr);
    return changes;
}

bool threadsDiffer(const ProcessBaseline& now) {
    auto count = [](const ProcessBaseline& properties) {
        const auto p = std::find_if(properties.begin(), properties.end(), [](const platform::ProcessProperty& q) {
            return q.name == platform::kThreadsProperty;
        });
        return p == properties.end() ? std::string() : p->value;
    };
    return count(now) != count(baseline);
}

} // namespace

void takeProcessBaseline() {
    takeSettingsLeft();
    baseline = processNow();
}

const ProcessBaseline& processBaseline() { return baseline; }

void setProcessBaseline(ProcessBaseline properties) { baseline = std::move(properties); }

std::vector<std::string> processChanges(const std::string& step) {
    std::vector<std::string> changes;
    if (const std::optional<SettingsLeft> left = takeSettingsLeft())
        changes.push_back(step + " changed the floating-point settings: " + left->entry + " returned with " +
                          settingsChange(left->set, left->left));
    ProcessBaseline now = processNow();
    // A thread that was joined may be counted for a moment after: look again
    // for a while before calling it one the module left running.
    for (int look = 0; look < 50 && threadsDiffer(now); ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        now = processNow();
    }
    std::vector<std::string> found = differences(now, step);
    changes.insert(changes.end(), found.begin(), found.end());
    return changes;
}

void holdProcessState(const std::string& step) {
    if (const std::vector<std::string> changes = processChanges(step); !changes.empty()) failWith(changes);
}

} // namespace refhost::check
