// Memory: the heap a module keeps. After a warm-up, the heap in use of the
// check's process must not grow over 1,000 create/destroy cycles, nor over
// thousands of evaluate calls (with a time step now and then) or hundreds of
// process calls on one instance, nor over 20 loads and unloads of the module.
// The count is the whole process's, host and
// module alike; the host's own allocations in these loops are freed within
// each call.
#include "refhost/check/Check.h"
#include "refhost/image/ImageJob.h"
#include "refhost/platform/Platform.h"

namespace refhost::check {

namespace {

// Growth of the heap in use over one phase above which the check fails. A
// correct module ends each phase with what it began with, give or take
// allocator noise of a few hundred bytes after the warm-up (pluginServer.p
// measured 0 bytes over the cycles and the process calls, 64 bytes once over
// the 10,140 evaluate and newTime calls). A leak of any size in every call
// goes past it: the smallest glibc chunk takes 16 bytes, so 1,000 leaking calls
// hold at least 16,000.
constexpr std::size_t kGrowthLimit = 4096;

constexpr int kWarmUpCycles = 10;
constexpr int kCycles = 1000;
constexpr int kEvaluateRounds = 60;  // each: every awkward record once, then a time step
constexpr int kProcessCalls = 500;
// Growth of the heap in use over the load and unload cycles above which the
// check fails. The system's loader keeps a little of each load
// (pluginServer.p measured 2,960 bytes over the 20 cycles, 148 a cycle); a
// module that keeps a block of every load, or its own copy of a runtime's
// buffers, goes past it within a few cycles.
constexpr std::size_t kLoadGrowthLimit = 65536;
constexpr int kWarmUpLoads = 2;
constexpr int kLoadCycles = 20;
constexpr int32_t kFirstFrame = 1;
constexpr double kFrameTime = 0.5;

std::size_t heapNow() {
    std::string whyNot;
    const std::optional<std::size_t> bytes = platform::heapInUse(whyNot);
    if (!bytes) skip(whyNot);
    return *bytes;
}

// The heap at the start of a phase, and a look after each batch of its
// calls, so that a large leak ends the check early.
class Phase {
public:
    Phase(std::string what, int calls, const char* unit, std::size_t limit = kGrowthLimit)
        : what_(std::move(what)), calls_(calls), unit_(unit), limit_(limit) {
        stage(what_);
        before_ = heapNow();
    }
    void after(int done) const {
        const std::size_t now = heapNow();
        if (now <= before_ + limit_) return;
        const std::size_t growth = now - before_;
        fail("heap in use over " + what_, "at most " + decimal(limit_) + " bytes more",
             decimal(growth) + " bytes more after " + decimal(static_cast<uint64_t>(done)) + " of " +
                 decimal(static_cast<uint64_t>(calls_)) + " " + unit_ + " (about " +
                 decimal(growth / static_cast<std::size_t>(done)) + " a " + unit_.substr(0, unit_.size() - 1) + ")");
    }

private:
    std::string what_;
    int calls_;
    std::string unit_;
    std::size_t limit_;
    std::size_t before_ = 0;
};

template <class Driver>
void checkCycles(Driver& driver) {
    auto cycle = [&](const std::string& what) { driver.destroy(createInstance(driver, what)); };
    stage("warming up");
    for (int i = 0; i < kWarmUpCycles; ++i) cycle("warm-up cycle " + std::to_string(i + 1));
    const Phase phase(decimal(kCycles) + " create/destroy cycles", kCycles, "cycles");
    for (int i = 1; i <= kCycles; ++i) {
        cycle("cycle " + std::to_string(i));
        if (i % 100 == 0) phase.after(i);
    }
}

void checkShader(ShaderDriver& shader) {
    checkCycles(shader);
    const std::vector<host::SampleAccess> records = awkwardRecords();
    host::Instance instance = createInstance(shader, "create");
    int32_t frame = kFirstFrame;
    auto round = [&] {
        for (const host::SampleAccess& record : records) {
            host::SampleAccess sample = record;
            shader.evaluate(instance, sample);
        }
        ++frame;
        shader.newTime(instance, frame, frame / 30.0);
    };
    stage("warming up");
    shader.newTime(instance, frame, frame / 30.0);
    round();
    const int calls = kEvaluateRounds * static_cast<int>(records.size() + 1);
    const Phase phase(decimal(static_cast<uint64_t>(calls)) + " evaluate and newTime calls on one instance", calls,
                      "calls");
    for (int i = 1; i <= kEvaluateRounds; ++i) {
        round();
        if (i % 10 == 0) phase.after(i * static_cast<int>(records.size() + 1));
    }
    shader.destroy(instance);
}

void checkFilter(FilterDriver& filter) {
    checkCycles(filter);
    const Image source = everyByteImage();
    host::Instance instance = createInstance(filter, "create");
    auto process = [&] {
        ImageJob job(source, kFrameTime);
        filter.process(instance, job.access());
    };
    stage("warming up");
    for (int i = 0; i < 5; ++i) process();
    const Phase phase(decimal(kProcessCalls) + " process calls on one instance", kProcessCalls, "calls");
    for (int i = 1; i <= kProcessCalls; ++i) {
        process();
        if (i % 50 == 0) phase.after(i);
    }
    filter.destroy(instance);
}

// Loads and unloads the module, creating and destroying an instance of every
// handler row each time: after a warm-up, the heap grows by no more than a
// correct module's noise, and each cycle leaves the process as it found it
// (no thread or descriptor left behind).
void checkLoadCycles(const ModuleFacts& facts) {
    lastingHost();
    stage("warming up");
    for (int i = 1; i <= kWarmUpLoads; ++i) loadAndExercise(facts, "warm-up load " + std::to_string(i));
    takeProcessBaseline();
    const Phase phase(std::to_string(kLoadCycles) + " load and unload cycles", kLoadCycles, "cycles", kLoadGrowthLimit);
    for (int i = 1; i <= kLoadCycles; ++i) {
        const std::string what = "load and unload cycle " + std::to_string(i);
        loadAndExercise(facts, what);
        if (i % 5 == 0) phase.after(i);
    }
}

} // namespace

std::vector<CheckDefinition> memoryChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> checks = handlerRowChecks(facts, "memory", checkShader, checkFilter);
    checks.push_back({"memory/load-cycles", [facts](std::string&) { checkLoadCycles(facts); }, false, true});
    return checks;
}

} // namespace refhost::check
