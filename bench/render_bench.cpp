// A textured frame at full size: examples/scenes/textured.json at 1280x720
// with 4 camera samples per pixel, through "VelorastinShader" and
// "VelorastinFilter". Prints seconds per frame with one and two threads, and
// the share of the frame spent in the module's evaluate entry, measured two
// ways in the same run: against the same frame with no shader (the renderer
// then skips only the evaluate calls), and as evaluate calls times the cost of
// one call on the frame's own records.
//
// Where two threads lose against one: the same frame without the filter gives
// the filter pass (one thread, after the shading) as the difference, and the
// shading pass's own speed-up; the frame's set-up (the renderer placing the
// scene at the frame's time) is timed alone. The processor seconds of each
// frame (std::clock, all threads) tell work that grew with the second thread
// (shared caches, memory, a shared core) from time spent waiting, which is
// what a loaded machine adds to the wall clock.
//
//   render_bench [MODULE [SCENE]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "bench/Timing.h"
#include "refhost/host/Drivers.h"
#include "refhost/host/Host.h"
#include "refhost/host/Module.h"
#include "refhost/render/FrameRender.h"
#include "refhost/render/PixelSamples.h"
#include "refhost/render/SceneFile.h"

using namespace refhost;

using bench::median;
using bench::now;

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : VELORASTIN_MODULE_PATH;
    const std::string scenePath = argc > 2 ? argv[2] : EXAMPLES_DIR "/textured.json";
    std::string error;
    std::unique_ptr<Module> module = Module::load(path, error);
    if (!module) {
        std::fprintf(stderr, "render_bench: %s\n", error.c_str());
        return 1;
    }
    const ServerRow* shaderRow = module->find(host::kShaderHandlerClass, "VelorastinShader");
    const ServerRow* filterRow = module->find(host::kImageFilterHandlerClass, "VelorastinFilter");
    if (!shaderRow || !filterRow) {
        std::fprintf(stderr, "render_bench: %s lacks VelorastinShader or VelorastinFilter\n", path.c_str());
        return 1;
    }
    SceneOptions options;
    options.width = 1280;
    options.height = 720;
    Scene scene;
    if (!readSceneFile(scenePath, options, scene, error)) {
        std::fprintf(stderr, "render_bench: %s\n", error.c_str());
        return 1;
    }
    constexpr int32_t kSamples = 4;
    constexpr int kRuns = 3;
    Host host(scene.model);
    host.log.enabled = false;

    // Seconds of one frame through a fresh session, and the processor seconds it took.
    auto frameSeconds = [&](int32_t threads, const ServerRow* shader, const ServerRow* filter, int64_t& samples,
                            std::vector<double>& processor) {
        FrameRequest request;
        request.shader = shader;
        request.filter = filter;
        request.threads = threads;
        request.samples = kSamples;
        FrameSession session(host, scene, request);
        const std::clock_t used = std::clock();
        const double start = now();
        const FrameResult frame = session.render(1, scene.timeOf(1));
        const double seconds = now() - start;
        processor.push_back(static_cast<double>(std::clock() - used) / CLOCKS_PER_SEC);
        if (!frame.error.empty()) std::fprintf(stderr, "render_bench: %s\n", frame.error.c_str());
        samples = frame.samples;
        return seconds;
    };
    std::printf("%s at 1280x720, %d samples per pixel, median of %d interleaved runs\n", scenePath.c_str(), kSamples,
                kRuns);
    double oneThread = 0.0, oneThreadShading = 0.0, oneThreadProcessor = 0.0, filterProcessor = 0.0;
    int64_t evaluations = 0;
    for (int32_t threads : {1, 2}) {
        std::vector<double> served, plain, shading, servedProcessor, shadingProcessor, ignoredProcessor;
        int64_t samples = 0, ignored = 0;
        for (int run = 0; run < kRuns; ++run) {
            served.push_back(frameSeconds(threads, shaderRow, filterRow, samples, servedProcessor));
            plain.push_back(frameSeconds(threads, nullptr, filterRow, ignored, ignoredProcessor));
            shading.push_back(frameSeconds(threads, shaderRow, nullptr, ignored, shadingProcessor));
        }
        const double s = median(served), p = median(plain), h = median(shading), c = median(servedProcessor),
                     ch = median(shadingProcessor);
        if (threads == 1) {
            oneThread = s;
            oneThreadShading = h;
            oneThreadProcessor = c;
            filterProcessor = c - ch;
            evaluations = samples;
        }
        std::printf("%d thread%s:  %6.2f s per frame (%lld evaluate calls, %.2f M/s); without the shader %6.2f s; "
                    "evaluate share %4.1f%%\n",
                    threads, threads == 1 ? " " : "s", s, static_cast<long long>(samples),
                    static_cast<double>(samples) / s / 1e6, p, 100.0 * (s - p) / s);
        std::printf("            %6.2f s without the filter: the filter pass %.2f s; processor seconds %.2f per frame, "
                    "%.2f without the filter\n",
                    h, s - h, c, ch);
        if (threads == 2) {
            std::printf("speed-up with 2 threads: %.2f (the shading pass alone %.2f); processor seconds x %.3f\n",
                        oneThread / s, oneThreadShading / h, c / oneThreadProcessor);
            // Two threads that shaded at one thread's pace would leave only the serial filter pass unshared.
            const double filterPass = oneThread - oneThreadShading;
            std::printf("  with the shading pass halved:  %.2f\n", oneThread / (filterPass + oneThreadShading / 2.0));
            // The same from processor seconds, which waiting for a loaded machine does not inflate: the
            // filter pass on one thread, the rest of the 2-thread frame's work shared by two.
            std::printf("  from processor seconds:        %.2f (the filter pass %.2f s; the shading work x %.3f)\n",
                        oneThreadProcessor / (filterProcessor + (c - filterProcessor) / 2.0), filterProcessor,
                        (c - filterProcessor) / (oneThreadProcessor - filterProcessor));
        }
    }
    std::vector<double> setUp;
    for (int run = 0; run < 9; ++run) {
        const double start = now();
        const Renderer placed(scene, scene.timeOf(1));
        setUp.push_back(now() - start);
    }
    std::printf("frame set-up (the scene placed at the frame's time): %.3f ms\n", median(setUp) * 1e3);

    // The cost of one evaluate call on records of this frame: every 97th pixel's samples.
    const Renderer renderer(scene, scene.timeOf(1));
    std::vector<host::SampleAccess> records;
    for (int32_t i = 0; i < 1280 * 720; i += 97) {
        const PixelOffset at = pixelSample(i % 1280, i / 1280, 0, kSamples);
        const Hit hit = renderer.traceCamera(i % 1280, i / 1280, at.x, at.y);
        if (!hit.object) continue;
        records.emplace_back();
        renderer.fillSample(hit, records.back());
    }
    ShaderDriver driver(*shaderRow);
    if (driver.activate(2) != 0) return 1;
    const host::Instance instance = driver.create();
    if (!instance || driver.newTime(instance, 1, scene.timeOf(1))) return 1;
    std::vector<double> perCall;
    std::vector<host::SampleAccess> work;
    for (int run = 0; run < 9; ++run) {
        work = records;  // fresh copies: the entry writes its colour back
        const double start = now();
        for (host::SampleAccess& record : work) driver.evaluate(instance, record);
        perCall.push_back((now() - start) / static_cast<double>(work.size()));
    }
    driver.destroy(instance);
    const double callSeconds = median(perCall);
    std::printf("evaluate entry alone:  %.1f ns per call over %zu of the frame's records; x %lld calls = %.3f s, "
                "%4.1f%% of the 1-thread frame\n",
                callSeconds * 1e9, records.size(), static_cast<long long>(evaluations),
                callSeconds * static_cast<double>(evaluations), 100.0 * callSeconds * evaluations / oneThread);
    return 0;
}
