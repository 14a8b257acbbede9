// Image textures: an 8-bit image read through refhost's image reader, looked
// up by texture coordinates and filtered bilinearly in the stored values. The
// stored values are display encoded, as painted or photographed; the renderer
// hands them to the shader unchanged, as it does a picked colour.
#pragma once

#include <cstdint>
#include <string>

#include "refhost/host/Vec.h"
#include "refhost/image/Image.h"

namespace refhost {

struct Texture {
    std::string path;  // the file it was read from
    Image image;       // at least 1 x 1

    // The colour at (u, v), each channel 0..1 as stored. (0, 0) is the image's
    // top-left corner and (1, 1) its bottom-right; coordinates outside repeat
    // the image. Texel centres sit at ((i + 0.5) / width, (j + 0.5) / height).
    Vec lookup(double u, double v) const;
};

} // namespace refhost
