// The image filter's process entry with small arbitrary images and monitor
// answers: every pixel set once with the exact conversion, nothing outside the
// image touched, and nothing at all after the monitor asked to stop.
#include <cstring>

#include "host/HandlerTables.h"
#include "refhost/host/Host.h"
#include "refhost/image/ImageJob.h"
#include "servers/DisplayEncodeFilter.h"
#include "tests/fuzz/FuzzInput.h"

using fuzzing::FuzzInput;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int32_t width = in.byte() % 9;
    const int32_t height = in.byte() % 9;
    const bool monitor = in.flag();
    const int32_t stopAt = in.byte() % 12;  // 0: never stop; else stop at that advance

    refhost::Host host(refhost::SceneModel::basic(width, height));
    host.log.enabled = false;
    refhost::Image image(width, height, true);
    in.take(image.rgba.data(), image.rgba.size());

    host::ImageFilterHandler table{};
    velorastin::filterActivationOf<velorastin::DisplayEncodeFilter>(2, refhost::Host::lookupFunction(), &table,
                                                                    nullptr);
    host::Instance filter = table.create(nullptr);
    if (!filter) fuzzing::fail("create returned null after activation");

    refhost::ImageJob job(image, in.number());
    job.fillOutput(0xA5);
    job.setMonitor(monitor);
    job.advanceAnswer = [stopAt](int32_t advances) { return stopAt != 0 && advances == stopAt ? 1 : 0; };
    table.process(filter, &job.access());
    table.destroy(filter);

    if (job.outsideRequests) fuzzing::fail("a row or pixel outside the image was asked for or set");
    if (job.callsAfterStop) fuzzing::fail("the filter went on after the monitor asked it to stop");
    const int32_t rowsDone = monitor && stopAt && stopAt <= height ? stopAt : height;
    if (monitor && (job.begins != 1 || job.finishes != (rowsDone == height && !job.stopped ? 1 : 0)))
        fuzzing::fail("begin / finish calls do not match the run");
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const bool written = y < rowsDone;
            if (job.colourSets[i] != (written ? 1 : 0) || job.alphaSets[i] != (written ? 1 : 0))
                fuzzing::fail("a pixel was not set exactly once");
            const uint8_t* in8 = image.pixel(x, y);
            const uint8_t* out8 = job.output.pixel(x, y);
            for (int c = 0; c < 3; ++c) {
                const uint8_t expected = written ? velorastin::DisplayEncodeFilter::encode(in8[c]) : 0xA5;
                if (out8[c] != expected) fuzzing::fail("a colour byte differs from the conversion");
            }
            if (out8[3] != (written ? in8[3] : 0xA5)) fuzzing::fail("alpha did not pass through unchanged");
        }
    }
    return 0;
}
