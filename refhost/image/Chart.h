// A test chart: a grey ramp over colour and grey swatches.
#pragma once

#include <cstdint>

#include "refhost/image/Image.h"

namespace refhost {

// Upper half: a grey ramp from 0 to 255, left to right. Lower half: swatches
// of saturated colours and greys. Opaque RGB.
Image makeChart(int32_t width, int32_t height);

} // namespace refhost
