// The module's results do not follow the host thread's floating-point
// settings, and every entry gives the host its settings back, with the
// exception flags it raised still raised: each computing entry runs under four
// other settings a host may have, and its results must be bit for bit those
// under the default ones.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "ShaderTesting.h"
#include "framework/FloatingPoint.h"
#include "framework/SceneContext.h"
#include "refhost/image/ImageJob.h"
#include "servers/DisplayEncodeFilter.h"
#include "servers/LinearizeShader.h"
#include "tests/inproc/DisplayEncoding.h"

using host::kDefaultMxcsr;
using host::kDefaultX87Control;
using host::kMxcsrExceptionFlags;

namespace {

struct HostSettings {
    const char* name;
    uint16_t x87;
    uint32_t mxcsr;
};

constexpr HostSettings kDefault{"default", kDefaultX87Control, kDefaultMxcsr};
constexpr uint32_t kPrecisionFlag = 0x0020;
constexpr HostSettings kOtherSettings[] = {
    {"x87 at 24-bit precision", 0x007F, kDefaultMxcsr},
    {"x87 at 53-bit precision", 0x027F, kDefaultMxcsr},
    {"rounding toward zero (x87 and SSE)", 0x0F7F, 0x7F80},
    {"flush-to-zero and denormals-are-zero, the divide-by-zero flag raised", kDefaultX87Control, 0x9FC4},
};

// Calls `entry` on a thread set as `host`, expects the settings as they were
// after it, and goes back to the default settings. Returns the exception flags
// raised when the host had its settings back.
uint32_t asHost(const HostSettings& host, const char* entryName, const std::function<void()>& entry) {
    host::setX87ControlWord(host.x87);
    _mm_setcsr(host.mxcsr);
    entry();
    const uint16_t x87 = host::x87ControlWord();
    const uint32_t mxcsr = _mm_getcsr();
    host::setX87ControlWord(kDefaultX87Control);
    _mm_setcsr(kDefaultMxcsr);
    EXPECT_EQ(x87, host.x87) << entryName << " under " << host.name;
    const uint32_t hostFlags = host.mxcsr & kMxcsrExceptionFlags;
    EXPECT_EQ(mxcsr & ~kMxcsrExceptionFlags, host.mxcsr & ~kMxcsrExceptionFlags) << entryName << " under " << host.name;
    EXPECT_EQ(mxcsr & hostFlags, hostFlags) << entryName << " under " << host.name;
    return mxcsr & kMxcsrExceptionFlags;
}

// Colours whose powers round differently under other precisions and modes,
// down to values that flush to zero.
constexpr double kColours[][3] = {
    {0.5, 0.3, 0.7},      {0.1, 0.9, 0.123456789}, {2.0, 1e-5, 0.999999}, {0.0, 1.0, 0.0031308},
    {1e-150, 3e-308, 1e-310}, {0.2176376408, 0.66, 0.04045},  {7.5, 0.25, 0.8},   {0.333, 0.667, 0.01},
};

// The scene snapshot's doubles after a time step, in one list.
std::vector<double> snapshot() {
    const velorastin::CameraFrame& c = velorastin::sceneContext.camera;
    std::vector<double> values{c.width, c.height, c.zoom, c.aspect, c.halfWidth, c.halfHeight, c.xScale, c.yScale,
                               c.frameAspect};
    for (const velorastin::Vec3* v : std::initializer_list<const velorastin::Vec3*>{&c.position, &c.worldPosition, &c.forwardAxis, &c.rightAxis, &c.upAxis,
                                      &velorastin::sceneContext.ambient})
        values.insert(values.end(), {v->x, v->y, v->z});
    values.insert(values.end(), c.projection.data, c.projection.data + c.projection.elementCount());
    return values;
}

// What the shader's entries give under `host`: the snapshot after newTime and
// the whole record of every colour after evaluate.
struct ShaderResults {
    std::vector<double> scene;
    std::vector<host::SampleAccess> records;
};

ShaderResults shadeUnder(const HostSettings& host) {
    shadertest::ShaderRig rig;
    // A camera off every axis with an uneven zoom: the projection divides.
    refhost::SceneItem& camera = rig.host.scene.addCamera("cam", {0, 0, 0}, {0, 0, 1}, {0, 1, 0}, 1.7);
    // The services an entry calls see the host's own flags still raised.
    uint32_t flagsInService = 0;
    camera.params[host::kParamWorldPosition] = [&](double) {
        flagsInService = _mm_getcsr() & kMxcsrExceptionFlags;
        return refhost::Vec{3.5, -2.25, 7.1};
    };
    camera.params[host::kParamRight] = refhost::constant({0.48, 0.36, -0.8});
    camera.params[host::kParamUp] = refhost::constant({-0.192, 0.936, 0.3});
    camera.params[host::kParamForward] = refhost::constant({0.856, 0.048, 0.52});
    rig.host.scene.record.pixelAspect = 1.1;

    velorastin::LinearizeShader* shader = nullptr;
    asHost(host, "create", [&] { shader = rig.create<velorastin::LinearizeShader>(); });
    EXPECT_TRUE(shader);
    if (!shader) return {};
    asHost(host, "newTime", [&] { EXPECT_EQ(rig.newTime(shader, 3, 1.0 / 3.0), nullptr); });
    EXPECT_EQ(flagsInService & host.mxcsr, host.mxcsr & kMxcsrExceptionFlags) << host.name;
    ShaderResults results{snapshot(), {}};
    for (const auto& colour : kColours) {
        host::SampleAccess record = shadertest::sampleRecord({0.1, 0.2, 0.3}, {3.5, -2.25, 7.1});
        std::memcpy(record.colour, colour, sizeof record.colour);
        asHost(host, "evaluate", [&] { rig.evaluate(shader, record); });
        results.records.push_back(record);
    }
    return results;
}

} // namespace

TEST(FloatingPointSettings, ShaderResultsAreThoseOfTheDefaultSettings) {
    const ShaderResults expected = shadeUnder(kDefault);
    ASSERT_EQ(expected.records.size(), std::size(kColours));
    for (const HostSettings& host : kOtherSettings) {
        const ShaderResults seen = shadeUnder(host);
        ASSERT_EQ(seen.scene.size(), expected.scene.size()) << host.name;
        EXPECT_EQ(std::memcmp(seen.scene.data(), expected.scene.data(), seen.scene.size() * sizeof(double)), 0)
            << "scene snapshot under " << host.name;
        ASSERT_EQ(seen.records.size(), expected.records.size()) << host.name;
        for (std::size_t i = 0; i < seen.records.size(); ++i)
            EXPECT_EQ(std::memcmp(&seen.records[i], &expected.records[i], sizeof(host::SampleAccess)), 0)
                << "record " << i << " under " << host.name;
    }
}

TEST(FloatingPointSettings, FilterBytesAndEveryOtherEntry) {
    refhost::Host hostEmu;
    ::host::ImageFilterHandler table{};
    ASSERT_EQ(velorastin::filterActivationOf<velorastin::DisplayEncodeFilter>(2, refhost::Host::lookupFunction(),
                                                                            &table, nullptr),
              0);
    refhost::Image source(256, 1);
    for (int v = 0; v < 256; ++v) std::memset(source.pixel(v, 0), v, 4);

    for (const HostSettings& host : kOtherSettings) {
        host::Instance filter = nullptr, copy = nullptr;
        asHost(host, "create", [&] { filter = table.create(nullptr); });
        asHost(host, "create", [&] { copy = table.create(nullptr); });
        ASSERT_TRUE(filter && copy);
        asHost(host, "copy", [&] { table.copy(filter, copy); });
        asHost(host, "flags", [&] { table.flags(filter); });
        asHost(host, "describe", [&] { table.describe(filter); });
        refhost::ImageJob job(source, 0.5);
        // Encoding is inexact, and the flag the pass raised stays raised for the host.
        EXPECT_NE(asHost(host, "process", [&] { table.process(filter, &job.access()); }) & kPrecisionFlag, 0u)
            << host.name;
        for (int v = 0; v < 256; ++v) {
            const uint8_t* out = job.output.pixel(v, 0);
            const uint8_t e = testing_support::kDisplayEncoded[v];
            ASSERT_TRUE(out[0] == e && out[1] == e && out[2] == e && out[3] == v) << v << " under " << host.name;
        }
        asHost(host, "destroy", [&] { table.destroy(copy); });
        asHost(host, "destroy", [&] { table.destroy(filter); });
    }
}
