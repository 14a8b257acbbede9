// The image filter framework and "VelorastinFilter": activation, instances,
// the byte mapping, the order of host calls, abort, degenerate images, and
// the scene refresh of the process entry.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "refhost/image/ImageJob.h"
#include "tests/inproc/DisplayEncoding.h"
#include "tests/inproc/InProcess.h"

using velorastin::DisplayEncodeFilter;
using Texts = std::vector<std::string>;

namespace {

void* otherLookup(const char*, int32_t) { return nullptr; }

int encoded(int v) { return testing_support::kDisplayEncoded[v]; }

bool eachOnce(const std::vector<uint16_t>& counts) {
    return std::all_of(counts.begin(), counts.end(), [](uint16_t n) { return n == 1; });
}

bool untouched(const void* table, std::size_t from, std::size_t to) {
    const auto* bytes = static_cast<const unsigned char*>(table);
    return std::all_of(bytes + from, bytes + to, [](unsigned char b) { return b == 0xA5; });
}

} // namespace

class Filter : public inproc::InProcess {
protected:
    DisplayEncodeFilter* activeFilter() {
        EXPECT_EQ(activateFilter(), 0);
        return static_cast<DisplayEncodeFilter*>(filterTable.create(nullptr));
    }
};

TEST_F(Filter, ActivationByVersionAndInstances) {
    EXPECT_EQ(create<DisplayEncodeFilter>(), nullptr);  // no activation yet
    for (int32_t version : {-1, 0, 3, 1, 2}) {
        velorastin::globalLookup = otherLookup;
        std::memset(static_cast<void*>(&filterTable), 0xA5, sizeof filterTable);
        const bool supported = version == 1 || version == 2;
        EXPECT_EQ(activateFilter(version), supported ? 0 : 1) << version;
        EXPECT_EQ(untouched(&filterTable, 0, 28), !supported) << version;
        EXPECT_EQ(untouched(&filterTable, 28, 32), version != 2) << version;
        EXPECT_EQ(velorastin::globalLookup, supported ? refhost::Host::lookupFunction() : &otherLookup) << version;
    }
    using namespace velorastin;
    const ::host::ImageFilterHandler expected{createEntry<DisplayEncodeFilter>, destroyEntry, copyEntry, loadEntry,
                                              saveEntry, filterProcessEntry, filterFlagsEntry, describeEntry};
    EXPECT_EQ(std::memcmp(&filterTable, &expected, sizeof expected), 0);

    auto* filter = static_cast<DisplayEncodeFilter*>(filterTable.create(nullptr));
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->serverName, DisplayEncodeFilter::kName);
    EXPECT_EQ(filterTable.flags(filter), 0);
    EXPECT_EQ(velorastin::sceneContext.currentServer, filter);
    filterTable.destroy(filter);
}

TEST_F(Filter, EncodesEveryByteAndPassesAlpha) {
    refhost::Image source(256, 1);
    for (int v = 0; v < 256; ++v) {
        const uint8_t rgba[4] = {uint8_t(v), uint8_t(255 - v), uint8_t(v * 37), uint8_t(v * 91)};
        std::memcpy(source.pixel(v, 0), rgba, 4);
    }
    DisplayEncodeFilter* filter = activeFilter();
    ASSERT_TRUE(filter);
    refhost::ImageJob job(source, 0.0);
    filterTable.process(filter, &job.access());
    for (int v = 0; v < 256; ++v) {
        const uint8_t* in = source.pixel(v, 0);
        const uint8_t* out = job.output.pixel(v, 0);
        EXPECT_TRUE(out[0] == encoded(in[0]) && out[1] == encoded(in[1]) && out[2] == encoded(in[2])) << v;
        EXPECT_EQ(out[3], in[3]) << v;
    }
    // Where truncation and rounding part (1, 3, 8, 100, 254), and the ends.
    const int expected[][2] = {{0, 0},    {1, 20},    {2, 28},    {3, 33},    {8, 52},    {16, 72},  {32, 99},
                               {64, 136}, {100, 166}, {128, 186}, {192, 224}, {254, 254}, {255, 255}};
    for (const auto& [in, out] : expected) EXPECT_EQ(job.output.pixel(in, 0)[0], out) << in;
    EXPECT_TRUE(eachOnce(job.colourSets) && eachOnce(job.alphaSets));
    // Every output went through the setters: the source planes are as they were.
    for (int32_t channel = 0; channel < 4; ++channel) {
        const uint8_t* plane = job.access().row(host::kChannelRed + channel, 0);
        for (int v = 0; v < 256; ++v) ASSERT_EQ(plane[v], source.pixel(v, 0)[channel]) << channel << " " << v;
    }
    filterTable.destroy(filter);
}

TEST_F(Filter, HostCallsRowByRow) {
    refhost::Image source(2, 2);
    const uint8_t pixels[16] = {0, 255, 1, 9, 2, 3, 8, 10, 16, 32, 64, 11, 100, 128, 254, 12};
    std::memcpy(source.rgba.data(), pixels, sizeof pixels);
    DisplayEncodeFilter* filter = activeFilter();
    ASSERT_TRUE(filter);
    refhost::ImageJob job(source, 0.0);
    job.log.enabled = true;
    filterTable.process(filter, &job.access());
    EXPECT_EQ(job.log.texts(),
              (Texts{"begin(2)", "row(32, 0)", "row(33, 0)", "row(34, 0)", "row(35, 0)",
                     "setColour(0, 0, 0, 255, 20)", "setAlpha(0, 0, 9)", "setColour(1, 0, 28, 33, 52)",
                     "setAlpha(1, 0, 10)", "advance(1)", "row(32, 1)", "row(33, 1)", "row(34, 1)", "row(35, 1)",
                     "setColour(0, 1, 72, 99, 136)", "setAlpha(0, 1, 11)", "setColour(1, 1, 166, 186, 254)",
                     "setAlpha(1, 1, 12)", "advance(1)", "finish()"}));
    filterTable.destroy(filter);
}

TEST_F(Filter, StopsWhenTheMonitorSaysSoAndRunsWithoutOne) {
    DisplayEncodeFilter* filter = activeFilter();
    ASSERT_TRUE(filter);
    const refhost::Image source(3, 3);
    refhost::ImageJob job(source, 0.0);
    job.log.enabled = true;
    job.advanceAnswer = [](int32_t advances) { return advances == 1 ? 1 : 0; };
    filterTable.process(filter, &job.access());
    EXPECT_EQ(job.log.named("row").size(), 4u);
    for (std::size_t i = 0; i < job.colourSets.size(); ++i) EXPECT_EQ(job.colourSets[i], i < 3 ? 1 : 0) << i;
    EXPECT_TRUE(job.advances == 1 && job.finishes == 0 && job.callsAfterStop == 0);

    // Any non-zero answer stops, not only 1.
    for (int32_t answer : {2, -1, 0x10000}) {
        refhost::ImageJob stopped(source, 0.0);
        stopped.advanceAnswer = [answer](int32_t advances) { return advances == 2 ? answer : 0; };
        filterTable.process(filter, &stopped.access());
        EXPECT_TRUE(stopped.advances == 2 && stopped.finishes == 0 && stopped.callsAfterStop == 0) << answer;
        for (std::size_t i = 0; i < stopped.colourSets.size(); ++i) EXPECT_EQ(stopped.colourSets[i], i < 6 ? 1 : 0);
    }

    refhost::ImageJob unmonitored(source, 0.0);
    unmonitored.setMonitor(false);
    filterTable.process(filter, &unmonitored.access());
    EXPECT_TRUE(eachOnce(unmonitored.colourSets) && eachOnce(unmonitored.alphaSets));
    EXPECT_EQ(unmonitored.begins + unmonitored.advances + unmonitored.finishes, 0);
    filterTable.destroy(filter);
}

TEST_F(Filter, EmptyImages) {
    DisplayEncodeFilter* filter = activeFilter();
    ASSERT_TRUE(filter);
    {
        refhost::ImageJob job(refhost::Image(0, 2), 0.0);
        job.log.enabled = true;
        filterTable.process(filter, &job.access());
        EXPECT_EQ(job.log.texts(), (Texts{"begin(2)", "row(32, 0)", "row(33, 0)", "row(34, 0)", "row(35, 0)",
                                          "advance(1)", "row(32, 1)", "row(33, 1)", "row(34, 1)", "row(35, 1)",
                                          "advance(1)", "finish()"}));
    }
    refhost::ImageJob job(refhost::Image(4, 0), 0.0);
    job.log.enabled = true;
    filterTable.process(filter, &job.access());
    EXPECT_EQ(job.log.texts(), (Texts{"begin(0)", "finish()"}));

    // Sizes below zero are walked like zero: no pixel, and the height handed on as it is.
    refhost::ImageJob negative(refhost::Image(2, 2), 0.0);
    negative.log.enabled = true;
    negative.access().width = -3;
    filterTable.process(filter, &negative.access());
    EXPECT_EQ(negative.log.named("row").size(), 8u);
    EXPECT_TRUE(negative.log.named("setColour").empty() && negative.log.named("setAlpha").empty());
    EXPECT_EQ(negative.advances, 2);
    refhost::ImageJob upward(refhost::Image(2, 2), 0.0);
    upward.log.enabled = true;
    upward.access().height = -2;
    filterTable.process(filter, &upward.access());
    EXPECT_EQ(upward.log.texts(), (Texts{"begin(-2)", "finish()"}));
    filterTable.destroy(filter);
}

TEST_F(Filter, ProcessFollowsTheLatestRecordAndRefreshesAtItsTime) {
    hostEmu.scene.addCamera("cam", {0, 0, -10}, {0, 0, 1}, {0, 1, 0}, 2.0);
    DisplayEncodeFilter* filter = activeFilter();
    ASSERT_TRUE(filter);
    filter->frame = 7, filter->previousFrame = 6, filter->previousTime = 0.2;
    refhost::ImageJob first(refhost::Image(2, 2), 0.25);
    filterTable.process(filter, &first.access());
    EXPECT_TRUE(filter->image == &first.access() && filter->time == 0.25);

    inproc::ProbeFilter other;  // made and moved in time after the filter
    ASSERT_EQ(other.advanceTime(3, 0.1), nullptr);
    hostEmu.log.clear();
    {
        refhost::ImageJob second(refhost::Image(3, 1), 0.75);
        filterTable.process(filter, &second.access());
        EXPECT_TRUE(filter->image == &second.access() && eachOnce(second.colourSets));
    }
    EXPECT_TRUE(filter->time == 0.75 && filter->frame == 7 && filter->previousFrame == 6 && filter->previousTime == 0.2);
    EXPECT_EQ(velorastin::sceneContext.currentServer, filter);
    ASSERT_EQ(hostEmu.log.named("item.param").size(), 5u);
    for (const refhost::Call& c : hostEmu.log.named("item.param")) EXPECT_EQ(c.args.at(2), "0.75");
    ASSERT_EQ(hostEmu.log.named("light.ambient").size(), 1u);
    EXPECT_EQ(hostEmu.log.named("light.ambient")[0].args.at(0), "0.75");
    EXPECT_TRUE(hostEmu.log.named("lookup").empty());  // no init
    filterTable.destroy(filter);
}
