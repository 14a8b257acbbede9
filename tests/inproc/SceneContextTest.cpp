// The time step and the scene snapshot: frame bookkeeping, the camera frame
// and its projection, the order of the host calls, refresh with services lacking.
#include <string>
#include <vector>

#include "refhost/image/ImageJob.h"
#include "tests/inproc/InProcess.h"

using inproc::ProbeFilter;
using velorastin::sceneContext;

class SceneSnapshot : public inproc::InProcess {
protected:
    void SetUp() override {
        InProcess::SetUp();
        ASSERT_EQ(activateFilter(), 0);
    }
};

TEST(SceneContextAtLoad, HoldsZerosAndAnEmptyCameraUntilTheFirstRefresh) {
    const velorastin::CameraFrame& cam = sceneContext.camera;
    EXPECT_TRUE(cam.itemId == 0 && cam.owner == nullptr);
    EXPECT_TRUE(cam.projection.rows == 4 && cam.projection.cols == 4 && cam.projection.data);
    EXPECT_TRUE(cam.width == 0.0 && cam.height == 0.0 && cam.zoom == 0.0 && cam.aspect == 0.0);
    EXPECT_TRUE(sceneContext.sceneValue0 == 0 && sceneContext.sceneValue4 == 0 && sceneContext.sceneValue16 == 0);
    EXPECT_TRUE(sceneContext.renderFlags == 0 && sceneContext.sceneValue88 == 0);
    const velorastin::Vec3& a = sceneContext.ambient;
    EXPECT_TRUE(a.x == 0.0 && a.y == 0.0 && a.z == 0.0);
}

TEST_F(SceneSnapshot, WithoutACurrentServerTheSceneIsReadAtTimeZero) {
    hostEmu.scene.addCamera("cam", {0, 0, -10}, {0, 0, 1}, {0, 1, 0}, 2.0);
    ProbeFilter server;
    ASSERT_EQ(server.advanceTime(1, 0.5), nullptr);
    hostEmu.log.clear();
    sceneContext.currentServer = nullptr;
    sceneContext.refresh();
    for (const refhost::Call& c : hostEmu.log.named("item.param")) EXPECT_EQ(c.args.at(2), "0");
    EXPECT_EQ(hostEmu.log.named("item.param").size(), 5u);
    ASSERT_EQ(hostEmu.log.named("light.ambient").size(), 1u);
    EXPECT_EQ(hostEmu.log.named("light.ambient")[0].args.at(0), "0");
    EXPECT_EQ(hostEmu.log.named("camera.zoom").at(0).args.at(1), "0");
}

TEST_F(SceneSnapshot, LightFramesWithoutTheLightServiceKnowNoKind) {
    ProbeFilter server;
    ASSERT_EQ(server.advanceTime(1, 0.5), nullptr);
    velorastin::LightFrame frame(refhost::makeItemId(host::kItemLight, 0), &server);
    velorastin::lightInfo = nullptr;
    EXPECT_EQ(frame.lightKind(), -1);  // none of the kinds the light tests know
    EXPECT_EQ(frame.shadowKind(), 0);
}

TEST_F(SceneSnapshot, AServerWithoutItsOwnPrepareTimeStillMovesOn) {
    velorastin::DisplayEncodeFilter filter;
    ASSERT_EQ(filter.advanceTime(2, 0.5), nullptr);
    EXPECT_TRUE(filter.frame == 2 && filter.time == 0.5 && sceneContext.currentServer == &filter);
}

TEST_F(SceneSnapshot, AdvanceTimeMovesFrameAndTime) {
    ProbeFilter server;
    ASSERT_EQ(server.advanceTime(4, 0.16), nullptr);
    EXPECT_TRUE(server.previousFrame == 0 && server.previousTime == 0.0);  // a new instance starts at 0
    ProbeFilter later;  // construction makes it current
    ASSERT_EQ(server.advanceTime(5, 0.2), nullptr);
    EXPECT_TRUE(server.previousFrame == 4 && server.previousTime == 0.16);
    EXPECT_TRUE(server.frame == 5 && server.time == 0.2);
    EXPECT_EQ(sceneContext.currentServer, &server);
    EXPECT_EQ(server.prepared, 2);

    // A failing init ends the step before anything moves.
    hostEmu.withhold("LW Light Info");
    hostEmu.scene.record.word0 = 77;
    ProbeFilter other;
    hostEmu.log.clear();
    EXPECT_STREQ(server.advanceTime(6, 0.24), "Couldn't get Light Info");
    EXPECT_TRUE(server.previousFrame == 4 && server.previousTime == 0.16);
    EXPECT_TRUE(server.frame == 5 && server.time == 0.2);
    EXPECT_EQ(sceneContext.currentServer, &other);
    EXPECT_EQ(sceneContext.sceneValue0, 0u);
    EXPECT_EQ(server.prepared, 2);
    EXPECT_EQ(hostEmu.log.named("lookup").size(), hostEmu.log.calls().size());
}

TEST_F(SceneSnapshot, CameraFrameAndProjection) {
    hostEmu.scene.addCamera("cam", {0, 0, -10}, {0, 0, 1}, {0, 1, 0}, 2.0);
    ProbeFilter server;
    ASSERT_EQ(server.advanceTime(1, 0.0), nullptr);
    const velorastin::CameraFrame& cam = sceneContext.camera;
    EXPECT_EQ(cam.itemId, refhost::makeItemId(host::kItemCamera, 0));
    EXPECT_TRUE(cam.width == 640.0 && cam.height == 480.0 && cam.zoom == 2.0);
    EXPECT_TRUE(cam.halfWidth == 320.0 && cam.halfHeight == 240.0);
    EXPECT_TRUE(cam.xScale == 240.0 && cam.yScale == 240.0);
    EXPECT_EQ(cam.frameAspect, 640.0 / 480.0);

    const double rows[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 8}, {0, 0, 0.5, 5}};
    const double point[4] = {1, 1, 0, 1};
    double mapped[4] = {};
    ASSERT_TRUE(cam.projection.rows == 4 && cam.projection.cols == 4);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            EXPECT_DOUBLE_EQ(cam.projection.at(i, j), rows[i][j]) << i << "," << j;
            mapped[i] += cam.projection.at(i, j) * point[j];
        }
    }
    EXPECT_DOUBLE_EQ(mapped[0] / mapped[3], 0.2);
    EXPECT_DOUBLE_EQ(mapped[1] / mapped[3], 0.2);
    EXPECT_DOUBLE_EQ(mapped[2] / mapped[3], 1.6);

    // The pixel aspect divides the horizontal scale.
    hostEmu.scene.record.pixelAspect = 2.0;
    ASSERT_EQ(server.advanceTime(2, 0.0), nullptr);
    EXPECT_TRUE(cam.xScale == 120.0 && cam.yScale == 240.0);
    EXPECT_EQ(cam.frameAspect, 640.0 * 2.0 / 480.0);
}

TEST_F(SceneSnapshot, ProjectionOfACameraOffTheAxesHoldsTheExactDoubles) {
    // Every component non-zero and of its own size, so that a swapped
    // component, a lost sign or a changed order of operations shows.
    refhost::SceneItem& camera = hostEmu.scene.addCamera("cam", {0, 0, 0}, {0, 0, 1}, {0, 1, 0}, 1.7);
    const refhost::Vec p{3.5, -2.25, 7.1}, r{0.48, 0.36, -0.8}, u{-0.192, 0.936, 0.3}, f{0.856, 0.048, 0.52};
    camera.params[host::kParamWorldPosition] = refhost::constant(p);
    camera.params[host::kParamRight] = refhost::constant(r);
    camera.params[host::kParamUp] = refhost::constant(u);
    camera.params[host::kParamForward] = refhost::constant(f);
    ProbeFilter server;
    ASSERT_EQ(server.advanceTime(1, 0.0), nullptr);

    const double z = 1.7;
    const double pr = p.x * r.x + p.y * r.y + p.z * r.z, pu = p.x * u.x + p.y * u.y + p.z * u.z;
    const double depth = -(p.x * f.x + p.y * f.y + p.z * f.z) - z;
    const double expected[4][4] = {{r.x, r.y, r.z, -pr},
                                   {u.x, u.y, u.z, -pu},
                                   {f.x, f.y, f.z, depth},
                                   {f.x / z, f.y / z, f.z / z, depth / z + 1.0}};
    const velorastin::Matrix& projection = sceneContext.camera.projection;
    ASSERT_TRUE(projection.rows == 4 && projection.cols == 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(projection.at(i, j), expected[i][j]) << i << "," << j;
}

TEST_F(SceneSnapshot, RefreshReadsTheHostInOrderAtTheOwnersTime) {
    hostEmu.scene.addCamera("cam", {1, 2, 3}, {0, 0, 1}, {0, 1, 0}, 1.5);
    auto& record = hostEmu.scene.record;
    record.word0 = 11, record.word4 = 22, record.word16 = 33, record.word88 = 44;
    const std::string id = std::to_string(refhost::makeItemId(host::kItemCamera, 0));
    ProbeFilter server;
    ProbeFilter later;  // current until the step makes `server` current again
    hostEmu.log.clear();
    ASSERT_EQ(server.advanceTime(3, 0.5), nullptr);
    std::vector<std::string> calls;
    for (const refhost::Call& c : hostEmu.log.calls())
        if (c.name != "lookup") calls.push_back(c.text());
    const std::string param = "item.param(" + id + ", ";
    EXPECT_EQ(calls, (std::vector<std::string>{"item.first(2, 0)", param + "1, 0.5)", param + "8, 0.5)",
                                               param + "4, 0.5)", param + "2, 0.5)", param + "3, 0.5)",
                                               "camera.zoom(" + id + ", 0.5)", "light.ambient(0.5)"}));
    EXPECT_EQ(sceneContext.camera.worldPosition.z, 3.0);
    EXPECT_TRUE(sceneContext.sceneValue0 == 11 && sceneContext.sceneValue4 == 22);
    EXPECT_TRUE(sceneContext.sceneValue16 == 33 && sceneContext.sceneValue88 == 44);

    // The flags the light tests read change with the record only at a refresh.
    EXPECT_EQ(sceneContext.renderFlags, 1u);
    record.renderFlags = 0;
    EXPECT_EQ(sceneContext.renderFlags, 1u);
    ASSERT_EQ(server.advanceTime(4, 0.54), nullptr);
    EXPECT_EQ(sceneContext.renderFlags, 0u);
}

TEST_F(SceneSnapshot, RefreshReadsOnlyTheServicesHeld) {
    // A filter made while the host lacked the scene service holds none of the
    // four; its process entry still refreshes.
    hostEmu.withhold("LW Scene Info");
    ProbeFilter* filter = create<ProbeFilter>();
    ASSERT_TRUE(filter);
    hostEmu.log.clear();
    {
        refhost::ImageJob job(refhost::Image(2, 1), 0.3);
        filterTable.process(filter, &job.access());
    }
    EXPECT_EQ(filter->processed, 1);
    EXPECT_TRUE(hostEmu.log.calls().empty());

    // Everything held, then the camera service lost: the other fields move on.
    hostEmu.provide("LW Scene Info");
    hostEmu.scene.addCamera("cam", {0, 0, -10}, {0, 0, 1}, {0, 1, 0}, 2.0);
    ASSERT_EQ(filter->advanceTime(1, 0.1), nullptr);
    hostEmu.withhold("LW Camera Info");
    ASSERT_STREQ(filter->init(), "Couldn't get Camera Info");
    hostEmu.scene.record.word0 = 5, hostEmu.scene.record.frameWidth = 800;
    hostEmu.log.clear();
    sceneContext.currentServer = filter;
    sceneContext.refresh();
    EXPECT_TRUE(sceneContext.camera.zoom == 2.0 && sceneContext.camera.width == 800.0);
    EXPECT_EQ(sceneContext.sceneValue0, 5u);
    EXPECT_TRUE(hostEmu.log.named("camera.zoom").empty());
    EXPECT_EQ(hostEmu.log.named("light.ambient").size(), 1u);
    filterTable.destroy(filter);
}
