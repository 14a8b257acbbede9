// Texture lookups: bilinear in the stored values, repeating at the edges.
#include <gtest/gtest.h>

#include <cmath>

#include "refhost/render/Texture.h"

using namespace refhost;

namespace {

// 2 x 2 texels: red channel 0, 100 / 200, 40; green and blue 255.
Texture twoByTwo() {
    Texture t;
    t.image = Image(2, 2, false);
    const uint8_t reds[4] = {0, 100, 200, 40};
    for (int i = 0; i < 4; ++i) {
        t.image.rgba[4 * i] = reds[i];
        t.image.rgba[4 * i + 1] = t.image.rgba[4 * i + 2] = 255;
    }
    return t;
}

} // namespace

TEST(Texture, TexelCentresGiveTheStoredValueAndBetweenThemAMix) {
    const Texture t = twoByTwo();
    EXPECT_EQ(t.lookup(0.25, 0.25).x, 0.0);
    EXPECT_EQ(t.lookup(0.75, 0.25).x, 100.0 / 255.0);
    EXPECT_EQ(t.lookup(0.25, 0.75).x, 200.0 / 255.0);
    EXPECT_EQ(t.lookup(0.75, 0.25).y, 1.0);
    EXPECT_DOUBLE_EQ(t.lookup(0.5, 0.25).x, 50.0 / 255.0);
    EXPECT_DOUBLE_EQ(t.lookup(0.5, 0.5).x, 85.0 / 255.0);  // the mean of all four
}

TEST(Texture, CoordinatesOutsideRepeatTheImage) {
    const Texture t = twoByTwo();
    EXPECT_EQ(t.lookup(1.75, -0.75).x, t.lookup(0.75, 0.25).x);
    EXPECT_EQ(t.lookup(-3.25, 5.75).x, t.lookup(0.75, 0.75).x);
    // The left edge mixes the first column with the last, across the seam.
    EXPECT_DOUBLE_EQ(t.lookup(0.0, 0.25).x, 50.0 / 255.0);
    // Values that are no coordinate read the top-left corner's mix, and never outside the image.
    EXPECT_TRUE(std::isfinite(t.lookup(NAN, INFINITY).x));
    EXPECT_TRUE(std::isfinite(t.lookup(1e300, -1e300).x));
}
