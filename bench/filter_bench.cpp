// Times "VelorastinFilter"'s process entry, through the loaded module, over a
// 1920x1080 image held by the reference host, against a baseline: the same
// conversion as a plain loop over the same row and setter functions, with no
// framework. Prints ns/pixel for both (median of interleaved runs) and the ratio.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/Timing.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/image/ImageJob.h"

using bench::median;

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int kRuns = 7;

__attribute__((noinline)) void baselineProcess(const host::ImageAccess& r) {
    host::ProgressMonitor* m = r.monitor;
    if (m) m->begin(m->context, r.height);
    for (int32_t y = 0; y < r.height; ++y) {
        const uint8_t* red = r.row(host::kChannelRed, y);
        const uint8_t* green = r.row(host::kChannelGreen, y);
        const uint8_t* blue = r.row(host::kChannelBlue, y);
        const uint8_t* alpha = r.row(host::kChannelAlpha, y);
        for (int32_t x = 0; x < r.width; ++x) {
            const uint8_t out[3] = {
                static_cast<uint8_t>(std::pow(red[x] * 0.00392156862745098, 0.45454545454545453) * 255.0),
                static_cast<uint8_t>(std::pow(green[x] * 0.00392156862745098, 0.45454545454545453) * 255.0),
                static_cast<uint8_t>(std::pow(blue[x] * 0.00392156862745098, 0.45454545454545453) * 255.0)};
            r.setColour(x, y, out);
            r.setAlpha(x, y, alpha[x]);
        }
        if (m && m->advance(m->context, 1)) return;
    }
    if (m) m->finish(m->context);
}

template <class Run>
double nanosecondsPerPixel(Run run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / (static_cast<double>(kWidth) * kHeight);
}

} // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : VELORASTIN_MODULE_PATH;
    std::string error;
    auto module = refhost::Module::load(path, error);
    if (!module) {
        std::fprintf(stderr, "filter_bench: %s\n", error.c_str());
        return 1;
    }
    const refhost::ServerRow* row = module->find(host::kImageFilterHandlerClass, "VelorastinFilter");
    if (!row) {
        std::fprintf(stderr, "filter_bench: %s has no \"VelorastinFilter\"\n", path.c_str());
        return 1;
    }
    refhost::Host hostEmulation(refhost::SceneModel::basic(kWidth, kHeight));
    hostEmulation.log.enabled = false;
    refhost::FilterDriver driver(*row);
    if (driver.activate(2) != 0) {
        std::fprintf(stderr, "filter_bench: activation refused\n");
        return 1;
    }
    host::Instance instance = driver.create();
    if (!instance) {
        std::fprintf(stderr, "filter_bench: no instance\n");
        return 1;
    }

    refhost::Image source(kWidth, kHeight);
    uint32_t state = 12345;  // a fixed pseudo-random picture: every byte value, no pattern to predict
    for (uint8_t& byte : source.rgba) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    refhost::ImageJob job(source, 0.0);

    // Both ways must give the same picture, or the timing compares nothing.
    driver.process(instance, job.access());
    const std::vector<uint8_t> moduleOutput = job.output.rgba;
    job.fillOutput(0);
    baselineProcess(job.access());
    if (job.output.rgba != moduleOutput) {
        std::fprintf(stderr, "filter_bench: the module's output differs from the baseline's\n");
        return 1;
    }

    std::vector<double> moduleTimes, baselineTimes;
    for (int i = 0; i < kRuns; ++i) {
        moduleTimes.push_back(nanosecondsPerPixel([&] { driver.process(instance, job.access()); }));
        baselineTimes.push_back(nanosecondsPerPixel([&] { baselineProcess(job.access()); }));
    }
    driver.destroy(instance);

    const double moduleNs = median(moduleTimes), baselineNs = median(baselineTimes);
    std::printf("image        %d x %d, median of %d interleaved runs\n", kWidth, kHeight, kRuns);
    std::printf("module       %.2f ns/pixel\n", moduleNs);
    std::printf("baseline     %.2f ns/pixel\n", baselineNs);
    std::printf("ratio        %.3f (goal <= 1.10)\n", moduleNs / baselineNs);
    return 0;
}
