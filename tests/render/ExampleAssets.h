// The files the example scenes use, made by the project: a colour chart in a
// painted style, a brick pattern (both display encoded, as painted or
// photographed textures are) and a turned vase mesh with texture coordinates.
// make_example_assets writes them into examples/scenes/; a test holds the
// shipped files to what these functions make.
#pragma once

#include <string>

#include "refhost/image/Image.h"

namespace examples {

refhost::Image paintedChart();   // 256 x 256: 4 x 4 swatches with brush strokes
refhost::Image bricks();         // 256 x 128: two courses of bricks and mortar, repeating
std::string vaseObj();           // a lathe-turned vase, 32 segments, u round and v up

} // namespace examples
