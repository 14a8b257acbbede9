// Cost of the shader framework per sample: the loaded module's evaluate entry
// against two baselines, all called through a function pointer after the host
// has filled the record from the same fixed set of hits. The bare baseline is
// the colour change alone, written as a plain function over the record. The
// mandated-work baseline adds, written plainly, what every evaluate call of
// the design does around the three pow calls: a working copy of the record
// read into locals, with the two transforms in heap arrays of 9 doubles
// allocated and freed per sample, the special-item test, and the write-back
// of the normal, the colour and the seven levels. The entry is timed twice: on
// a thread with the module's own floating-point settings, and on one whose x87
// unit runs at 53-bit precision, where the entry's guard switches settings in
// and out on every call. The entry is timed once more through the host's
// driver, as the render calls it (the trampoline that watches the stack
// pointer, and the floating-point defaults put back), and the trampoline alone
// on an empty entry. Then the render's samples per second with one and two
// threads. A ratio is the median of the ratios within each run, the two
// timed one after the other.
//
// With --quick every variant runs one pass and the render is left out: for
// counting instructions under valgrind --tool=callgrind, where the inclusive
// cost of shaderEvaluateEntry, mandatedWork and plainLinearise divided by
// their calls compares the three per sample.
//
//   shader_bench [--quick] [MODULE]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/Timing.h"
#include "framework/FloatingPoint.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/render/BuiltinScene.h"
#include "refhost/render/FrameRender.h"
#include "refhost/render/Renderer.h"

using namespace refhost;

using bench::median;
using bench::now;

namespace {

using Evaluate = void (*)(host::Instance, host::SampleAccess*);

// What "VelorastinShader" does to a sample, with no framework around it.
__attribute__((noinline)) void plainLinearise(host::Instance, host::SampleAccess* sample) {
    if ((sample->itemId & 0xFFFFu) == 0x7FFFu) return;
    for (double& c : sample->colour) c = std::pow(c, 2.2);
}

// The working copy of a record that every evaluate call makes, as locals.
struct PlainSample {
    int32_t pixelX, pixelY;
    double objectPosition[3], worldPosition[3], geometricNormal[3];
    double spotSize;
    double raySource[3];
    double rayLength, hitCosine;
    double* objectTransform;
    double* worldTransform;
    host::ItemId itemId;
    int32_t polygonIndex;
    double shadingNormal[3], colour[3];
    double luminosity, diffuse, specular, mirror, transparency, eta, roughness;
};

// The work the design mandates per sample, with no framework around it.
__attribute__((noinline)) void mandatedWork(host::Instance, host::SampleAccess* record) {
    const host::SampleAccess& r = *record;
    PlainSample s;
    s.objectTransform = new double[9];
    s.worldTransform = new double[9];
    s.pixelX = r.pixelX;
    s.pixelY = r.pixelY;
    std::memcpy(s.objectPosition, r.objectPosition, sizeof s.objectPosition);
    std::memcpy(s.worldPosition, r.worldPosition, sizeof s.worldPosition);
    std::memcpy(s.geometricNormal, r.geometricNormal, sizeof s.geometricNormal);
    s.spotSize = r.spotSize;
    std::memcpy(s.raySource, r.raySource, sizeof s.raySource);
    s.rayLength = r.rayLength;
    s.hitCosine = r.hitCosine;
    std::memcpy(s.objectTransform, r.objectTransform, sizeof r.objectTransform);
    std::memcpy(s.worldTransform, r.worldTransform, sizeof r.worldTransform);
    s.itemId = r.itemId;
    s.polygonIndex = r.polygonIndex;
    std::memcpy(s.shadingNormal, r.shadingNormal, sizeof s.shadingNormal);
    std::memcpy(s.colour, r.colour, sizeof s.colour);
    s.luminosity = r.luminosity;
    s.diffuse = r.diffuse;
    s.specular = r.specular;
    s.mirror = r.mirror;
    s.transparency = r.transparency;
    s.eta = r.eta;
    s.roughness = r.roughness;
    // The copy is made, as for an evaluate operation that may read any of it.
    __asm__ volatile("" : : "g"(&s) : "memory");
    if ((s.itemId & 0xFFFFu) != 0x7FFFu) {
        for (double& c : s.colour) c = std::pow(c, 2.2);
    }
    host::SampleAccess& w = *record;
    std::memcpy(w.shadingNormal, s.shadingNormal, sizeof s.shadingNormal);
    std::memcpy(w.colour, s.colour, sizeof s.colour);
    w.luminosity = s.luminosity;
    w.diffuse = s.diffuse;
    w.specular = s.specular;
    w.mirror = s.mirror;
    w.transparency = s.transparency;
    w.eta = s.eta;
    w.roughness = s.roughness;
    delete[] s.worldTransform;
    delete[] s.objectTransform;
}

// Read through a volatile so that the calls stay indirect calls.
Evaluate volatile baselineEntry = plainLinearise;
Evaluate volatile mandatedEntry = mandatedWork;
volatile double sink = 0.0;

// An entry that does nothing, for the cost of the call itself.
__attribute__((noinline)) void emptyEntry(host::Instance, host::SampleAccess*) { __asm__ volatile(""); }
Evaluate volatile emptyEntryPointer = emptyEntry;

// Nanoseconds per call of an empty entry, straight or through the trampoline.
template <class Call>
double timeCalls(Call call) {
    constexpr int kCalls = 4'000'000;
    host::SampleAccess record{};
    const Evaluate entry = emptyEntryPointer;
    const double start = now();
    for (int i = 0; i < kCalls; ++i) call(entry, &record);
    return (now() - start) * 1e9 / kCalls;
}

// Nanoseconds per sample: fill the record as the renderer does, evaluate.
template <class EvaluateCall>
double timeSamples(const Renderer& renderer, const std::vector<Hit>& hits, EvaluateCall evaluate,
                   host::Instance instance, int passes) {
    host::SampleAccess record;
    double sum = 0.0;
    const double start = now();
    for (int p = 0; p < passes; ++p) {
        for (const Hit& hit : hits) {
            renderer.fillSample(hit, record);
            evaluate(instance, &record);
            sum += record.colour[0] + record.colour[1] + record.colour[2];
        }
    }
    const double seconds = now() - start;
    sink = sink + sum;
    return seconds * 1e9 / (static_cast<double>(passes) * static_cast<double>(hits.size()));
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::string path = argc > 1 + quick ? argv[1 + quick] : VELORASTIN_MODULE_PATH;
    std::string error;
    std::unique_ptr<Module> module = Module::load(path, error);
    if (!module) {
        std::fprintf(stderr, "shader_bench: %s\n", error.c_str());
        return 1;
    }
    const ServerRow* shaderRow = module->find(host::kShaderHandlerClass, "VelorastinShader");
    const ServerRow* filterRow = module->find(host::kImageFilterHandlerClass, "VelorastinFilter");
    if (!shaderRow || !filterRow) {
        std::fprintf(stderr, "shader_bench: %s lacks VelorastinShader or VelorastinFilter\n", path.c_str());
        return 1;
    }

    const int32_t width = 640, height = 360;
    const Scene scene = builtinScene(width, height);
    Host host(scene.model);
    host.log.enabled = false;
    const Renderer renderer(scene, 0.0);

    ShaderDriver driver(*shaderRow);
    if (driver.activate(2) != 0) return 1;
    const host::Instance instance = driver.create();
    if (!instance || driver.newTime(instance, 0, 0.0)) {
        std::fprintf(stderr, "shader_bench: no usable VelorastinShader instance\n");
        return 1;
    }

    // A fixed set of hits spread over the frame.
    std::vector<Hit> hits;
    const int32_t step = 53;  // prime: rows and columns both vary
    for (int32_t i = 0; i < width * height; i += step) {
        Hit hit = renderer.traceCamera(i % width, i / width);
        if (hit.object) hits.push_back(hit);
    }

    // All three must leave the same record, or the comparison means nothing.
    int mismatches = 0;
    for (const Hit& hit : hits) {
        host::SampleAccess a, b, c;
        renderer.fillSample(hit, a);
        renderer.fillSample(hit, b);
        renderer.fillSample(hit, c);
        driver.table.evaluate(instance, &a);
        plainLinearise(nullptr, &b);
        mandatedWork(nullptr, &c);
        if (std::memcmp(&a, &b, sizeof a) != 0 || std::memcmp(&a, &c, sizeof a) != 0) ++mismatches;
    }

    const Evaluate moduleEntry = driver.table.evaluate;
    // Many short runs: on a loaded machine the ratios of the runs' own pairs
    // drift less than the times themselves.
    const int passes = quick ? 1 : 8, runs = quick ? 1 : 25;
    auto throughDriver = [&](host::Instance target, host::SampleAccess* record) { driver.evaluate(target, *record); };
    std::vector<double> moduleTimes, otherHostTimes, baselineTimes, mandatedTimes, driverTimes, straightCalls,
        trampolineCalls;
    if (!quick) {
        timeSamples(renderer, hits, moduleEntry, instance, 4);  // warm up
        timeSamples(renderer, hits, baselineEntry, nullptr, 4);
        timeSamples(renderer, hits, mandatedEntry, nullptr, 4);
    }
    std::vector<double> toMandated, otherHostToMandated, toBare, otherHostToBare;
    for (int run = 0; run < runs; ++run) {
        mandatedTimes.push_back(timeSamples(renderer, hits, mandatedEntry, nullptr, passes));
        moduleTimes.push_back(timeSamples(renderer, hits, moduleEntry, instance, passes));
        baselineTimes.push_back(timeSamples(renderer, hits, baselineEntry, nullptr, passes));
        host::setX87ControlWord(0x027F);
        otherHostTimes.push_back(timeSamples(renderer, hits, moduleEntry, instance, passes));
        host::setX87ControlWord(host::kDefaultX87Control);
        driverTimes.push_back(timeSamples(renderer, hits, throughDriver, instance, passes));
        toMandated.push_back(moduleTimes.back() / mandatedTimes.back());
        otherHostToMandated.push_back(otherHostTimes.back() / mandatedTimes.back());
        toBare.push_back(moduleTimes.back() / baselineTimes.back());
        otherHostToBare.push_back(otherHostTimes.back() / baselineTimes.back());
        if (quick) continue;
        straightCalls.push_back(timeCalls([](Evaluate entry, host::SampleAccess* record) { entry(nullptr, record); }));
        trampolineCalls.push_back(timeCalls([](Evaluate entry, host::SampleAccess* record) {
            callEntry("evaluate", entry, nullptr, record);
        }));
    }
    driver.destroy(instance);
    const double moduleNs = median(moduleTimes), otherHostNs = median(otherHostTimes),
                 baselineNs = median(baselineTimes), mandatedNs = median(mandatedTimes);
    std::printf("samples per run:             %zu hits x %d passes, medians of %zu interleaved runs\n", hits.size(),
                passes, moduleTimes.size());
    std::printf("evaluate entry (module):     %7.1f ns/sample\n", moduleNs);
    std::printf("  host x87 at 53 bits:       %7.1f ns/sample\n", otherHostNs);
    std::printf("  through the host's driver: %7.1f ns/sample\n", median(driverTimes));
    std::printf("mandated work (baseline):    %7.1f ns/sample\n", mandatedNs);
    std::printf("colour change alone (bare):  %7.1f ns/sample\n", baselineNs);
    std::printf("ratio to the mandated work:  %7.2f (goal <= 1.10; ratio of the medians %.2f)%s\n", median(toMandated),
                moduleNs / mandatedNs, mismatches ? "  RESULTS DIFFER" : "");
    std::printf("  host x87 at 53 bits:       %7.2f\n", median(otherHostToMandated));
    std::printf("ratio to the bare baseline:  %7.2f (ratio of the medians %.2f)\n", median(toBare), moduleNs / baselineNs);
    std::printf("  host x87 at 53 bits:       %7.2f\n", median(otherHostToBare));
    if (mismatches) std::printf("record mismatches:           %d of %zu\n", mismatches, hits.size());
    if (quick) return mismatches ? 1 : 0;
    std::printf("empty entry, straight call:  %7.2f ns/call\n", median(straightCalls));
    std::printf("  through the trampoline:    %7.2f ns/call\n", median(trampolineCalls));

    // Whole frames through the shader: shading alone (spread over the
    // threads), and with the filter pass (one thread) after it.
    auto frameSeconds = [&](int32_t threads, const ServerRow* filter, int64_t& samples) {
        FrameRequest request;
        request.shader = shaderRow;
        request.filter = filter;
        request.threads = threads;
        std::vector<double> seconds;
        for (int run = 0; run < 5; ++run) {
            const double start = now();
            const FrameResult frame = renderFrame(host, scene, request);
            seconds.push_back(now() - start);
            if (!frame.error.empty()) std::fprintf(stderr, "shader_bench: %s\n", frame.error.c_str());
            samples = frame.samples;
        }
        return median(seconds);
    };
    for (int32_t threads : {1, 2}) {
        int64_t samples = 0;
        const double shading = frameSeconds(threads, nullptr, samples);
        const double whole = frameSeconds(threads, filterRow, samples);
        std::printf("render %dx%d, %d thread%s:   %5.2f M samples/s shading (%lld samples, %.1f ms), "
                    "%.1f ms with the filter\n",
                    width, height, threads, threads == 1 ? " " : "s", static_cast<double>(samples) / shading / 1e6,
                    static_cast<long long>(samples), shading * 1e3, whole * 1e3);
    }
    return mismatches ? 1 : 0;
}
