// Values over a sequence, the frame names of a sequence, and where a pixel's
// samples go.
#include <gtest/gtest.h>

#include <set>

#include "refhost/render/FrameNames.h"
#include "refhost/render/Keyframes.h"
#include "refhost/render/PixelSamples.h"
#include "tests/render/RenderTesting.h"

using namespace refhost;
using render_testing::sceneOf;

TEST(Keyframes, KeysGiveTheirValuesExactlyAndHoldBeyondTheEnds) {
    const ScalarOfTime s = keyedScalar({{1.0, 0.1}, {2.0, 0.7}, {4.0, -3.0}});
    EXPECT_EQ(s(1.0), 0.1);
    EXPECT_EQ(s(2.0), 0.7);
    EXPECT_EQ(s(4.0), -3.0);
    EXPECT_EQ(s(-10.0), 0.1);
    EXPECT_EQ(s(10.0), -3.0);
    EXPECT_DOUBLE_EQ(s(1.5), 0.4);
    EXPECT_DOUBLE_EQ(s(3.0), -1.15);
    const VecOfTime v = keyedVec({{0.0, {0, 0, 0}}, {1.0, {2, 4, -2}}});
    EXPECT_EQ(v(0.25).y, 1.0);
}

TEST(Keyframes, DirectionsTurnAndStayUnitLength) {
    const VecOfTime d = keyedDirection({{0.0, {2, 0, 0}}, {1.0, {0, 0, 5}}});
    EXPECT_EQ(d(0.0).x, 1.0);
    const Vec half = d(0.5);
    EXPECT_DOUBLE_EQ(length(half), 1.0);
    EXPECT_DOUBLE_EQ(half.x, half.z);
}

TEST(Keyframes, SceneKeysAreFramesAtTheScenesRate) {
    const Scene scene = sceneOf(R"({"frame": {"fps": 10},
        "camera": {"position": [{"frame": 10, "value": [0, 0, -10]}, {"frame": 20, "value": [10, 0, -10]}],
                   "target": [0, 0, 0], "zoom": [{"frame": 10, "value": 2}, {"frame": 20, "value": 4}]},
        "lights": [{"type": "point", "intensity": [{"frame": 0, "value": 0}, {"frame": 10, "value": 1}]}]})");
    const SceneItem& camera = *scene.model.itemsOfKind(host::kItemCamera).front();
    EXPECT_EQ(camera.param(host::kParamPosition, scene.timeOf(15)).x, 5.0);
    EXPECT_EQ(camera.zoom(scene.timeOf(20)), 4.0);
    EXPECT_DOUBLE_EQ(camera.zoom(scene.timeOf(12)), 2.4);
    // Aimed at the target: the forward axis turns with the position.
    EXPECT_DOUBLE_EQ(camera.param(host::kParamForward, scene.timeOf(20)).x, -std::sqrt(0.5));
    EXPECT_EQ(camera.param(host::kParamForward, scene.timeOf(10)).z, 1.0);
    EXPECT_DOUBLE_EQ(scene.model.itemsOfKind(host::kItemLight).front()->intensity(scene.timeOf(5)), 0.5);
}

TEST(FrameNames, SequencesNumberTheirFiles) {
    EXPECT_EQ(frameFileName("out.png", 7), "out_0007.png");
    EXPECT_EQ(frameFileName("dir.v2/out", 12), "dir.v2/out_0012");
    EXPECT_EQ(frameFileName("a/.png", 3), "a/.png_0003");
    EXPECT_EQ(frameFileName("f%04d.png", 42), "f0042.png");
    EXPECT_EQ(frameFileName("f%d-100%%.png", 42), "f42-100%.png");
    EXPECT_EQ(singleFrameName("still.png", 5), "still.png");
    EXPECT_EQ(singleFrameName("still%03d.png", 5), "still005.png");
    std::string error;
    EXPECT_TRUE(checkOutputPattern("f%04d.png", error));
    EXPECT_FALSE(checkOutputPattern("f%s.png", error));
    EXPECT_FALSE(checkOutputPattern("f%d%d.png", error));
    EXPECT_FALSE(checkOutputPattern("f%4d.png", error));
}

TEST(FrameNames, RangesAreCheckedAndExplained) {
    int32_t first = 0, last = 0;
    std::string error;
    EXPECT_TRUE(parseFrameRange("3-12", first, last, error));
    EXPECT_EQ(first, 3);
    EXPECT_EQ(last, 12);
    EXPECT_TRUE(parseFrameRange("5", first, last, error));
    EXPECT_EQ(last, 5);
    EXPECT_FALSE(parseFrameRange("12-3", first, last, error));
    EXPECT_EQ(error, "\"12-3\": the last frame comes before the first");
    for (const char* bad : {"", "-", "1-", "a-b", "1-2-3", "-4", "1 - 2", "99999999999"})
        EXPECT_FALSE(parseFrameRange(bad, first, last, error)) << bad;
    EXPECT_FALSE(parseFrameRange("0-100000", first, last, error));
}

TEST(PixelSamples, EachSampleLiesInItsOwnStratumTheSameEveryTime) {
    EXPECT_EQ(pixelSample(3, 4, 0, 1).x, 0.5);
    EXPECT_EQ(pixelSample(3, 4, 0, 1).y, 0.5);
    for (int32_t count : {2, 3, 4, 6, 9, 16, 17}) {
        int32_t rows = 0, columns = 0;
        strataGrid(count, rows, columns);
        EXPECT_EQ(rows * columns, count);
        EXPECT_LE(rows, columns);
        std::set<std::pair<int, int>> strata;
        for (int32_t k = 0; k < count; ++k) {
            const PixelOffset p = pixelSample(10, 20, k, count);
            ASSERT_TRUE(p.x >= 0.0 && p.x < 1.0 && p.y >= 0.0 && p.y < 1.0);
            strata.insert({static_cast<int>(p.x * columns), static_cast<int>(p.y * rows)});
            EXPECT_EQ(p.x, pixelSample(10, 20, k, count).x);
        }
        EXPECT_EQ(strata.size(), static_cast<std::size_t>(count)) << count << " samples";
    }
    // Jittered: neighbouring pixels do not repeat the same pattern.
    EXPECT_NE(pixelSample(10, 20, 0, 4).x, pixelSample(11, 20, 0, 4).x);
}
