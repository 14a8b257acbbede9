#include "servers/DisplayEncodeFilter.h"

#include <cmath>

namespace velorastin {

DisplayEncodeFilter::DisplayEncodeFilter() { serverName = kName; }

DisplayEncodeFilter::~DisplayEncodeFilter() = default;

uint8_t DisplayEncodeFilter::encode(uint8_t value) {
    // Truncation, not rounding; the result always lies in 0..255.
    return static_cast<uint8_t>(std::pow(value * kByteScale, kExponent) * kOutputScale);
}

void DisplayEncodeFilter::process() {
    const host::ImageAccess& r = *image;
    host::ProgressMonitor* monitor = r.monitor;
    if (monitor) monitor->begin(monitor->context, r.height);
    for (int32_t y = 0; y < r.height; ++y) {
        const uint8_t* red = r.row(host::kChannelRed, y);
        const uint8_t* green = r.row(host::kChannelGreen, y);
        const uint8_t* blue = r.row(host::kChannelBlue, y);
        const uint8_t* alpha = r.row(host::kChannelAlpha, y);
        for (int32_t x = 0; x < r.width; ++x) {
            const uint8_t out[3] = {encode(red[x]), encode(green[x]), encode(blue[x])};
            r.setColour(x, y, out);
            r.setAlpha(x, y, alpha[x]);
        }
        if (monitor && monitor->advance(monitor->context, 1)) return;
    }
    if (monitor) monitor->finish(monitor->context);
}

} // namespace velorastin
