#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "ShaderTesting.h"
#include "servers/LinearizeShader.h"

using shadertest::ShaderRig;
using velorastin::LinearizeShader;

namespace {

class Linearize : public ::testing::Test {
protected:
    void SetUp() override {
        shader = rig.create<LinearizeShader>();
        ASSERT_NE(shader, nullptr);
        ASSERT_EQ(rig.newTime(shader), nullptr);
    }

    // The record after one evaluate entry on a sample of colour (r, g, b).
    host::SampleAccess shade(double r, double g, double b, host::ItemId item = 0x00010001) {
        host::SampleAccess record = shadertest::sampleRecord({0, 0, 0}, {0, 0, -10}, item);
        record.colour[0] = r;
        record.colour[1] = g;
        record.colour[2] = b;
        rig.evaluate(shader, record);
        return record;
    }

    ShaderRig rig;
    LinearizeShader* shader = nullptr;
};

} // namespace

TEST_F(Linearize, RaisesEachComponentToThePower2point2) {
    const host::SampleAccess half = shade(0.5, 0.5, 0.5);
    for (double c : half.colour) EXPECT_NEAR(c, 0.217637640824031, 0.217637640824031 * 1e-15);

    const host::SampleAccess ends = shade(1.0, 0.0, 1.0);
    EXPECT_EQ(ends.colour[0], 1.0);
    EXPECT_EQ(ends.colour[1], 0.0);
    EXPECT_EQ(ends.colour[2], 1.0);

    // No clamping on either side.
    const host::SampleAccess bright = shade(2.0, 0.0, -0.5);
    EXPECT_NEAR(bright.colour[0], 4.59479341998814, 4.59479341998814 * 1e-14);
    EXPECT_EQ(bright.colour[1], 0.0);
    EXPECT_TRUE(std::isnan(bright.colour[2]));
}

TEST_F(Linearize, SpecialItemKeepsItsColour) {
    const host::SampleAccess kept = shade(0.5, 0.25, 2.0, 0x12347FFF);
    EXPECT_EQ(kept.colour[0], 0.5);
    EXPECT_EQ(kept.colour[1], 0.25);
    EXPECT_EQ(kept.colour[2], 2.0);
    // Only the low 16 bits make an item special.
    EXPECT_NE(shade(0.5, 0.5, 0.5, 0x00007FFE).colour[0], 0.5);
}

TEST_F(Linearize, EvaluateChangesOnlyTheColour) {
    host::SampleAccess record = shadertest::sampleRecord({1, 2, 3}, {0, 0, -10});
    record.colour[0] = 0.5;
    record.colour[1] = 0.75;
    record.colour[2] = 0.125;
    record.luminosity = 0.1;
    record.diffuse = 0.2;
    record.specular = 0.3;
    record.mirror = 0.4;
    record.transparency = 0.5;
    record.eta = 1.5;
    record.roughness = 0.7;
    record.shadingNormal[0] = 0.6;
    record.hostFunctions[0] = &record;
    const host::SampleAccess before = record;
    rig.evaluate(shader, record);
    const std::size_t colourBegin = offsetof(host::SampleAccess, colour), colourEnd = colourBegin + 24;
    EXPECT_TRUE(shadertest::sameBytes(&record, &before, 0, colourBegin));
    EXPECT_TRUE(shadertest::sameBytes(&record, &before, colourEnd, sizeof record));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(record.colour[i], std::pow(before.colour[i], 2.2));
}

TEST_F(Linearize, ReportsItsFlagsNameAndStaysUnclassified) {
    EXPECT_EQ(rig.table.flags(ShaderRig::instanceOf(shader)), 2u);
    EXPECT_EQ(shader->handlesLightRays, 0);
    EXPECT_EQ(shader->classificationDisabled, 1);
    ASSERT_EQ(rig.newTime(shader, 2, 0.5), nullptr);
    EXPECT_EQ(shader->classificationDisabled, 1);
    EXPECT_STREQ(rig.table.describe(ShaderRig::instanceOf(shader)), "VelorastinShader");
    EXPECT_STREQ(shader->serverName, "VelorastinShader");
}
