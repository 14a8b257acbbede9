#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <thread>

#include "ShaderTesting.h"
#include "tests/inproc/HeapInUse.h"
#include "framework/ItemFrame.h"
#include "framework/Services.h"
#include "shader/RayRegistry.h"

using refhost::Vec;
using shadertest::ClassifyingShader;
using shadertest::PlainShader;
using shadertest::sampleRecord;
using shadertest::ShaderRig;

namespace {

constexpr Vec kCameraAt{0, 0, -10};
constexpr Vec kPoint{0, 0, 0};
constexpr Vec kNowhere{7, 3, 0};  // a ray source no camera or light of these scenes explains
const host::ItemId kCamera = refhost::makeItemId(host::kItemCamera, 0);
constexpr host::ItemId kSpecialItem = 0xABCD7FFF;

refhost::SceneModel cameraScene() {
    refhost::SceneModel scene = refhost::SceneModel::basic();
    scene.addCamera("Camera", kCameraAt, {0, 0, 1}, {0, 1, 0}, 2.0);
    return scene;
}

host::ItemId addLight(ShaderRig& rig, int32_t kind, int32_t shadow, Vec position, Vec forward = {0, 0, 1}) {
    return rig.host.scene.addLight("Light", kind, shadow, position, forward).id;
}

// A node whose ray starts at `start` and travels along `direction`.
host::RayCallNode nodeAt(Vec start, Vec direction, int32_t kind, host::RayCallReply* reply = nullptr) {
    host::RayCallNode n{};
    n.kind = kind;
    n.reply = reply;
    const double s[3] = {start.x, start.y, start.z}, d[3] = {direction.x, direction.y, direction.z};
    std::memcpy(n.start, s, sizeof s);
    std::memcpy(n.direction, d, sizeof d);
    n.callerId = 0xC0FFEE;
    return n;
}

// Item ids of the logged calls named `name` (for item.param: only parameter `code`).
std::vector<std::string> idsCalled(const refhost::Host& h, const std::string& name, int32_t code = 0) {
    std::vector<std::string> out;
    for (const refhost::Call& c : h.log.named(name))
        if (!code || c.args.at(1) == refhost::formatArg(code)) out.push_back(c.args.at(0));
    return out;
}

std::vector<std::string> ids(std::initializer_list<host::ItemId> items) {
    std::vector<std::string> out;
    for (host::ItemId i : items) out.push_back(refhost::formatArg(i));
    return out;
}

class Classification : public ::testing::Test {
protected:
    // Publishes `list` as another party's registry (unless told not to), then
    // creates a shader and takes it through its first time step.
    template <class Shader = ClassifyingShader>
    Shader* stepped(bool publishList = true) {
        if (publishList) rig.publish(&list);
        Shader* shader = rig.create<Shader>();
        EXPECT_EQ(rig.newTime(shader), nullptr);
        return shader;
    }

    // Evaluates one sample at kPoint and returns what the evaluate operation saw.
    template <class Shader>
    shadertest::Seen classify(Shader* shader, Vec source, host::ItemId item = 0x00010001) {
        host::SampleAccess record = sampleRecord(kPoint, source, item);
        rig.evaluate(shader, record);
        return shader->last();
    }

    ShaderRig rig{cameraScene()};
    host::RayCallList list{};  // another party's registry
};

} // namespace

TEST_F(Classification, OffRecognisesOnlySpecialItems) {
    host::RayCallNode node = nodeAt(kCameraAt, {0, 0, 1}, 2);
    list.tag = 77;
    list.head = &node;
    auto* shader = stepped<PlainShader>();
    ASSERT_EQ(shader->classificationDisabled, 1);
    shader->cachedLight = 0x1234;
    rig.host.log.clear();

    classify(shader, kCameraAt, kSpecialItem);
    classify(shader, kCameraAt, 0x00017FFE);
    ASSERT_EQ(shader->operations(), "SEE");
    EXPECT_EQ(shader->seen[0].viewerMode, 2);
    for (const shadertest::Seen& s : {shader->seen[0], shader->seen[2]}) {
        EXPECT_EQ(s.registryTag, 0u);
        EXPECT_EQ(s.viewerId, 0u);
        EXPECT_EQ(s.node, nullptr);
    }
    EXPECT_EQ(shader->seen[2].viewerMode, 0);
    EXPECT_EQ(shader->cachedLight, 0x1234u);
    EXPECT_TRUE(rig.host.log.calls().empty());
}

TEST_F(Classification, OnWithoutTheClassFlagsGoesNoFurtherThanTheTag) {
    host::RayCallNode node = nodeAt(kCameraAt, {0, 0, 1}, 2);
    list.tag = 77;
    list.head = &node;
    auto* shader = stepped<PlainShader>();
    shader->classificationDisabled = 0;  // as a subclass might leave it
    const shadertest::Seen s = classify(shader, kCameraAt);
    EXPECT_EQ(s.registryTag, 77u);
    EXPECT_EQ(s.node, nullptr);
    EXPECT_EQ(s.viewerId, 0u);
}

TEST_F(Classification, SpecialItemTakesTheTagAndStops) {
    const Vec source{0, -5, 0};
    host::RayCallNode node = nodeAt(source, {0, 1, 0}, 2);
    list.tag = 77;
    list.head = &node;
    addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    auto* shader = stepped();
    shader->cachedLight = 0x1234;
    rig.host.log.clear();

    const shadertest::Seen s = classify(shader, source, kSpecialItem);
    EXPECT_EQ(s.viewerMode, 2);
    EXPECT_EQ(s.registryTag, 77u);
    EXPECT_EQ(s.node, nullptr);
    EXPECT_EQ(s.viewerId, 0u);
    EXPECT_EQ(shader->cachedLight, 0x1234u);
    EXPECT_TRUE(rig.host.log.calls().empty());
}

TEST_F(Classification, WithoutAnyMatchTheSampleStaysOrdinary) {
    const host::ItemId light = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    auto* shader = stepped(false);
    // No other party published a registry: the module's own, empty list is in use.
    host::RayCallList* own = &velorastin::ownRayCallList.list;
    EXPECT_EQ(*static_cast<host::RayCallList**>(rig.host.renderBlock(host::kRayCallListKey)), own);
    EXPECT_EQ(shader->rayCallList, own);

    EXPECT_EQ(classify(shader, {0, -5, 0}).viewerId, light);
    EXPECT_EQ(shader->cachedLight, light);
    const shadertest::Seen s = classify(shader, kNowhere);
    EXPECT_EQ(s.viewerMode, 0);
    EXPECT_EQ(s.viewerId, 0u);
    EXPECT_EQ(s.node, nullptr);
    EXPECT_EQ(s.registryTag, 0u);
    EXPECT_EQ(shader->cachedLight, 0u);
}

TEST_F(Classification, AnotherPartysListIsUsedInsteadOfTheOwn) {
    host::RayCallNode node = nodeAt(kNowhere, {0, 0, 1}, 2);
    list.tag = 0x5150;
    list.head = &node;
    auto* shader = stepped();
    EXPECT_EQ(shader->rayCallList, &list);
    EXPECT_EQ(*static_cast<host::RayCallList**>(rig.host.renderBlock(host::kRayCallListKey)), &list);

    const shadertest::Seen s = classify(shader, kNowhere);
    EXPECT_EQ(s.registryTag, 0x5150u);
    EXPECT_EQ(s.node, &node);
    const host::RayCallList& own = velorastin::ownRayCallList.list;
    EXPECT_EQ(own.busy, 0);
    EXPECT_EQ(own.tag, 0u);
    EXPECT_EQ(own.head, nullptr);
}

TEST_F(Classification, ABlockHoldingNullGetsTheOwnList) {
    rig.publish(nullptr);
    auto* shader = stepped(false);
    host::RayCallList* own = &velorastin::ownRayCallList.list;
    EXPECT_EQ(*static_cast<host::RayCallList**>(rig.host.renderBlock(host::kRayCallListKey)), own);
    EXPECT_EQ(shader->rayCallList, own);
    EXPECT_TRUE(rig.host.log.named("renderMemory.create").empty());
}

TEST_F(Classification, NodeStartMustLieWithinOneTenMillionth) {
    // The start differs in x alone, so the distance is exactly the offset.
    const Vec source{0, 2, -5};
    host::RayCallNode node = nodeAt({1e-7, 2, -5}, {0, 0, 1}, 0);
    list.head = &node;
    auto* shader = stepped();
    host::SampleAccess record = sampleRecord({0, 2, 0}, source);
    rig.evaluate(shader, record);
    EXPECT_EQ(shader->last().node, nullptr);

    node.start[0] = 0.5e-7;
    rig.evaluate(shader, record);
    EXPECT_EQ(shader->last().node, &node);
}

TEST_F(Classification, KindTwoNodeMatchesEitherDirectionAsALight) {
    host::RayCallReply reply{};
    host::RayCallNode node = nodeAt(kNowhere, {-7, -3, 0}, 2, &reply);  // against the ray
    list.head = &node;
    auto* shader = stepped();
    shader->cachedLight = 0x1234;

    const shadertest::Seen s = classify(shader, kNowhere);
    EXPECT_EQ(s.operation, 'E');  // light rays reach evaluateLightRay only when the class handles them
    EXPECT_EQ(s.viewerMode, 1);
    EXPECT_EQ(s.viewerId, 0xC0FFEEu);
    EXPECT_EQ(s.node, &node);
    EXPECT_EQ(s.nodeKind, 2);
    EXPECT_EQ(shader->cachedLight, 0x1234u);  // a registry match leaves it
    EXPECT_EQ(reply.shader, ShaderRig::instanceOf(shader));
}

TEST_F(Classification, OtherKindsMatchAlongTheirDirectionAndNearerHeadWins) {
    // The ray comes from the camera, and a light sits where it would match too.
    addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 0, 10});
    const double c = 0.998, wide = std::sqrt(1 - c * c);
    const double n = 0.9995, narrow = std::sqrt(1 - n * n);
    host::RayCallReply missReply{}, hitReply{}, laterReply{};
    host::RayCallNode later = nodeAt(kCameraAt, {0, 0, 1}, 2, &laterReply);
    host::RayCallNode hit = nodeAt(kCameraAt, {narrow, 0, n}, 0, &hitReply);
    host::RayCallNode miss = nodeAt(kCameraAt, {wide, 0, c}, 0, &missReply);
    miss.next = &hit;
    hit.next = &later;
    list.head = &miss;
    auto* shader = stepped();
    rig.host.log.clear();

    const shadertest::Seen s = classify(shader, kCameraAt);
    EXPECT_EQ(s.node, &hit);
    EXPECT_EQ(s.nodeKind, 0);
    EXPECT_EQ(s.viewerMode, 0);
    EXPECT_EQ(s.viewerId, 0u);  // the camera was not examined
    EXPECT_TRUE(rig.host.log.calls().empty());
    EXPECT_EQ(hitReply.shader, ShaderRig::instanceOf(shader));
    EXPECT_EQ(missReply.shader, nullptr);
    EXPECT_EQ(laterReply.shader, nullptr);
    EXPECT_EQ(list.busy, 0);
}

TEST_F(Classification, FindWaitsWhileAnotherPartyHoldsTheList) {
    host::RayCallNode node = nodeAt(kNowhere, {0, 0, 1}, 2);
    list.head = &node;
    auto* shader = stepped();

    list.busy = 1;
    std::atomic<bool> released{false};
    std::thread party([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        released = true;
        std::atomic_ref<int32_t>(list.busy).store(0, std::memory_order_release);
    });
    const auto began = std::chrono::steady_clock::now();
    const shadertest::Seen s = classify(shader, kNowhere);
    const auto waited = std::chrono::steady_clock::now() - began;
    party.join();
    EXPECT_TRUE(released.load());
    EXPECT_GE(waited, std::chrono::milliseconds(40));
    EXPECT_EQ(s.node, &node);
    EXPECT_EQ(list.busy, 0);
}

TEST_F(Classification, CameraRayNamesTheCameraAndForgetsTheLight) {
    addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 0, 10});  // would match as well
    auto* shader = stepped();
    shader->cachedLight = 0x1234;
    rig.host.log.clear();

    const shadertest::Seen s = classify(shader, kCameraAt);
    EXPECT_EQ(s.viewerId, kCamera);
    EXPECT_EQ(s.viewerMode, 0);
    EXPECT_EQ(shader->cachedLight, 0u);
    EXPECT_TRUE(rig.host.log.named("light.shadowKind").empty());
}

TEST_F(Classification, ARayFromNowhereCountsAsTravellingUp) {
    // A source that is not a number has no direction: the direction back to it
    // is taken as straight up, where this camera is, ten units above the point.
    auto* shader = stepped();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    host::SampleAccess record = sampleRecord({0, -10, -10}, {nan, nan, nan});
    rig.evaluate(shader, record);
    EXPECT_EQ(shader->last().viewerId, kCamera);
    record = sampleRecord({0, -10, -10}, {0, -10, -11});  // a real source elsewhere: no camera
    rig.evaluate(shader, record);
    EXPECT_EQ(shader->last().viewerId, 0u);
}

TEST_F(Classification, ShadowsOffInTheSceneRecordMeansNoLightRays) {
    rig.host.scene.record.renderFlags = 0;
    addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    auto* shader = stepped();
    shader->cachedLight = 0x1234;
    rig.host.log.clear();

    const shadertest::Seen s = classify(shader, {0, -5, 0});
    EXPECT_EQ(s.viewerMode, 0);
    EXPECT_EQ(s.viewerId, 0u);
    EXPECT_EQ(shader->cachedLight, 0u);
    EXPECT_TRUE(rig.host.log.calls().empty());  // no light is even looked up
}

TEST_F(Classification, ShadowlessLightsAndUnknownKindsNeverMatch) {
    const host::ItemId shadowless = addLight(rig, host::kLightPoint, 0, {0, 10, 0});
    const host::ItemId unknown = addLight(rig, 5, host::kShadowRayTraced, {0, 10, 0}, {0, 1, 0});
    auto* shader = stepped();
    shader->cachedLight = shadowless;
    rig.host.log.clear();

    for (Vec source : {Vec{0, -5, 0}, Vec{0, 5, 0}}) {
        const shadertest::Seen s = classify(shader, source);
        EXPECT_EQ(s.viewerMode, 0);
        EXPECT_EQ(shader->cachedLight, 0u);
    }
    // Both were asked; the kind only of the light that casts ray-traced shadows.
    EXPECT_EQ(idsCalled(rig.host, "light.shadowKind"), ids({shadowless, unknown, shadowless, unknown}));
    EXPECT_EQ(idsCalled(rig.host, "light.kind"), ids({unknown, unknown}));
}

TEST_F(Classification, OnlyShadowKindOneMakesALightRay) {
    // 1 is ray-traced shadows; no other value a host may give matches.
    refhost::SceneItem& light = rig.host.scene.addLight("Light", host::kLightPoint, 0, {0, 10, 0});
    auto* shader = stepped();
    for (const auto& [shadow, matches] : {std::pair{0, false}, {1, true}, {2, false}, {3, false}, {-1, false}}) {
        SCOPED_TRACE(shadow);
        light.shadowKind = shadow;
        rig.host.log.clear();
        const shadertest::Seen s = classify(shader, {0, -5, 0});
        EXPECT_EQ(s.viewerMode, matches ? 1 : 0);
        EXPECT_EQ(s.viewerId, matches ? light.id : 0u);
        EXPECT_EQ(shader->cachedLight, matches ? light.id : 0u);
        EXPECT_EQ(rig.host.log.named("light.kind").size(), matches ? 1u : 0u);  // asked only then
    }
}

TEST_F(Classification, PointLightsMatchWhenThePointLiesBetweenSourceAndLight) {
    const Vec at[4] = {{0, 10, 0}, {10, 0, 0}, {-10, 0, 0}, {0, -10, 0}};
    host::ItemId light[4];
    for (int k = 0; k < 4; ++k) light[k] = addLight(rig, k + 1, host::kShadowRayTraced, at[k]);
    auto* shader = stepped();
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k + 1);
        const shadertest::Seen s = classify(shader, {-at[k].x / 2, -at[k].y / 2, -at[k].z / 2});
        EXPECT_EQ(s.viewerMode, 1);
        EXPECT_EQ(s.viewerId, light[k]);
        EXPECT_EQ(shader->cachedLight, light[k]);
    }
}

TEST_F(Classification, DistantLightsMatchAlongTheirForwardAxis) {
    const host::ItemId distant = addLight(rig, host::kLightDistant, host::kShadowRayTraced, {3, 3, 3}, {0, 1, 0});
    const host::ItemId point = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    auto* shader = stepped();
    EXPECT_EQ(classify(shader, {0, 5, 0}).viewerId, distant);
    EXPECT_EQ(classify(shader, {0, -5, 0}).viewerId, point);
    const shadertest::Seen neither = classify(shader, {5, 0, 0});
    EXPECT_EQ(neither.viewerMode, 0);
    EXPECT_EQ(neither.viewerId, 0u);
}

TEST_F(Classification, LightWalkStartsAtTheCachedLightAndWraps) {
    const host::ItemId l1 = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    const host::ItemId l2 = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {10, 0, 0});
    const host::ItemId l3 = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {-10, 0, 0});
    auto* shader = stepped();  // at time 0.25
    auto walk = [&](Vec source) {
        rig.host.log.clear();
        classify(shader, source);
        EXPECT_EQ(idsCalled(rig.host, "item.param", host::kParamWorldPosition),
                  idsCalled(rig.host, "light.shadowKind"));
        for (const refhost::Call& c : rig.host.log.named("item.param")) EXPECT_EQ(c.args.at(2), "0.25");
        return idsCalled(rig.host, "light.shadowKind");
    };

    // The first light is asked for only to start without a cached light and
    // when the second pass begins.
    auto firstLightCalls = [&] {
        for (const refhost::Call& c : rig.host.log.named("item.first")) EXPECT_EQ(c.text(), "item.first(1, 0)");
        return rig.host.log.named("item.first").size();
    };

    shader->cachedLight = l2;
    EXPECT_EQ(walk({0, 0, 7}), ids({l2, l3, l1}));  // no light matches
    EXPECT_EQ(shader->cachedLight, 0u);
    EXPECT_EQ(firstLightCalls(), 1u);

    EXPECT_EQ(walk({0, 0, 7}), ids({l1, l2, l3}));  // nothing cached: start at the first light
    EXPECT_EQ(firstLightCalls(), 2u);

    shader->cachedLight = l2;
    EXPECT_EQ(walk({0, -5, 0}), ids({l2, l3, l1}));
    EXPECT_EQ(shader->cachedLight, l1);
    EXPECT_EQ(firstLightCalls(), 1u);
    EXPECT_EQ(walk({5, 0, 0}), ids({l1, l2, l3}));
    EXPECT_EQ(shader->cachedLight, l3);
    EXPECT_EQ(firstLightCalls(), 0u);
    EXPECT_EQ(walk({5, 0, 0}), ids({l3}));
    EXPECT_EQ(firstLightCalls(), 0u);  // the cached light matched at once
    EXPECT_EQ(shader->seen.back().viewerId, l3);
}

TEST_F(Classification, CopiedClassificationBeforeAnyTimeStepSeesAnEmptyRegistry) {
    host::RayCallNode node = nodeAt(kNowhere, {0, 0, 1}, 2);
    list.tag = 77;
    list.head = &node;
    auto* source = stepped();
    auto* copied = rig.create<ClassifyingShader>();
    EXPECT_EQ(rig.table.copy(ShaderRig::instanceOf(source), ShaderRig::instanceOf(copied)), 0);
    ASSERT_EQ(copied->classificationDisabled, 0);
    ASSERT_EQ(copied->rayCallList, nullptr);

    const shadertest::Seen s = classify(copied, kNowhere);
    EXPECT_EQ(s.registryTag, 0u);
    EXPECT_EQ(s.node, nullptr);
    EXPECT_EQ(s.viewerMode, 0);
    const shadertest::Seen special = classify(copied, kNowhere, kSpecialItem);
    EXPECT_EQ(special.viewerMode, 2);
    EXPECT_EQ(special.registryTag, 0u);
    // The instance that had its time step does see the registry.
    EXPECT_EQ(classify(source, kNowhere).node, &node);
}

TEST_F(Classification, ServicesLostByAnotherInstancesInitMatchNothing) {
    const host::ItemId light = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    auto* shader = stepped();
    ASSERT_EQ(classify(shader, {0, -5, 0}).viewerId, light);

    rig.host.withhold(host::kItemInfoService);
    ASSERT_NE(rig.create<PlainShader>(), nullptr);
    ASSERT_EQ(velorastin::itemInfo, nullptr);
    // The camera test reads the snapshot only, so the camera still matches.
    EXPECT_EQ(classify(shader, kCameraAt).viewerId, kCamera);
    EXPECT_EQ(classify(shader, {0, -5, 0}).viewerMode, 0);
    EXPECT_EQ(shader->cachedLight, 0u);

    rig.host.provide(host::kItemInfoService);
    rig.host.withhold(host::kLightInfoService);
    ASSERT_NE(rig.create<PlainShader>(), nullptr);
    ASSERT_EQ(velorastin::lightInfo, nullptr);
    EXPECT_EQ(classify(shader, {0, -5, 0}).viewerMode, 0);
    EXPECT_EQ(shader->cachedLight, 0u);
    EXPECT_EQ(classify(shader, kCameraAt).viewerId, kCamera);
}

TEST_F(Classification, DirectionsAreComparedAsUnitVectors) {
    // A source ten units away, a tenth of a radian off the camera's line: its
    // cosine is 0.995, though the unnormalised dot product would be 10.
    EXPECT_EQ(classify(stepped(), {1, 0, -10}).viewerId, 0u);

    // The same for point lights: far and off the line, or near and on it.
    const host::ItemId far = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    const host::ItemId closeBy = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0.5, 0, 0});
    auto* lit = stepped(false);
    EXPECT_EQ(classify(lit, {1, -10, 0}).viewerMode, 0);
    EXPECT_EQ(classify(lit, {0, -10, 0}).viewerId, far);
    EXPECT_EQ(classify(lit, {-0.25, 0, 0}).viewerId, closeBy);

    // A camera half a unit from the point is still the ray's source. (This
    // host answers the module's services from here on.)
    refhost::SceneModel nearCamera = refhost::SceneModel::basic();
    nearCamera.addCamera("Camera", {0, 0, -0.5}, {0, 0, 1}, {0, 1, 0}, 2.0);
    ShaderRig near(nearCamera);
    auto* shader = near.create<ClassifyingShader>();
    ASSERT_EQ(near.newTime(shader), nullptr);
    host::SampleAccess record = sampleRecord(kPoint, {0, 0, -0.5});
    near.evaluate(shader, record);
    EXPECT_EQ(shader->last().viewerId, kCamera);
}

TEST_F(Classification, CamerasAndLightsMatchOnlyInsideTheirCone) {
    // Unit directions whose cosine with the viewer's line is exactly `c`: with
    // s = sqrt(1 - c^2) the vector (s, c, 0) already has length 1 in doubles.
    struct Row {
        double cosine;
        bool matches;
    };
    const double atThreshold = 0.9999;
    const Row rows[] = {{atThreshold, false}, {0.99985, false}, {0.9995, false}, {0.99995, true}};
    enum Viewer { Camera, PointLight, DistantLight };
    for (Viewer viewer : {Camera, PointLight, DistantLight}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(::testing::Message() << "viewer " << viewer << ", cosine " << row.cosine);
            const double s = std::sqrt(1 - row.cosine * row.cosine);
            if (row.cosine == atThreshold) {
                ASSERT_EQ(std::sqrt(s * s + row.cosine * row.cosine), 1.0);
            }
            refhost::SceneModel scene = refhost::SceneModel::basic();
            // The camera above the point; lights below it, on the line the ray continues along.
            scene.addCamera("Camera", viewer == Camera ? Vec{0, 5, 0} : kCameraAt, {0, 0, 1}, {0, 1, 0}, 2.0);
            if (viewer == PointLight) scene.addLight("Light", host::kLightPoint, host::kShadowRayTraced, {0, -5, 0});
            if (viewer == DistantLight)
                scene.addLight("Light", host::kLightDistant, host::kShadowRayTraced, {9, 9, 9}, {0, 1, 0});
            ShaderRig cone(scene);
            auto* shader = cone.create<ClassifyingShader>();
            ASSERT_EQ(cone.newTime(shader), nullptr);
            host::SampleAccess record = sampleRecord(kPoint, {s, row.cosine, 0});
            cone.evaluate(shader, record);
            const host::ItemId viewerId = viewer == Camera ? kCamera : refhost::makeItemId(host::kItemLight, 0);
            EXPECT_EQ(shader->last().viewerId, row.matches ? viewerId : 0u);
            EXPECT_EQ(shader->last().viewerMode, row.matches && viewer != Camera ? 1 : 0);
        }
    }
}

TEST_F(Classification, ARayOfNoLengthCountsAsTravellingUp) {
    // The point is the ray's source: its direction is the up vector (0, 1, 0)
    // exactly, which a node nearly along +y matches and one a little off does not.
    const Vec at{1, 2, 3};
    host::RayCallNode off = nodeAt(at, {-0.03, 0.9985, -0.03}, 0);
    host::RayCallNode near = nodeAt(at, {-0.02, 0.9996, -0.02}, 0);
    off.next = &near;
    list.head = &off;
    auto* shader = stepped();
    host::SampleAccess record = sampleRecord(at, at);
    rig.evaluate(shader, record);
    EXPECT_EQ(shader->last().node, &near);
}

TEST_F(Classification, NodeDirectionsMatchAboveCosine0point999) {
    // The ray travels along +z; a node's direction is taken as the host gives it.
    host::RayCallNode node = nodeAt({0, 0, -5}, {0, 0, 0.999}, 0);
    list.head = &node;
    auto* shader = stepped();
    for (const auto& [z, matches] : {std::pair{0.999, false}, {0.9985, false}, {0.99905, true}}) {
        node.direction[2] = z;
        EXPECT_EQ(classify(shader, {0, 0, -5}).node, matches ? &node : nullptr) << z;
    }
}

TEST_F(Classification, OnlyBitZeroOfTheRenderFlagsSwitchesTheLightTests) {
    const host::ItemId light = addLight(rig, host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    for (const auto& [flags, matches] : {std::pair{0xFFFFFFFEu, false}, {2u, false}, {3u, true}, {0x80000001u, true}}) {
        SCOPED_TRACE(flags);
        rig.host.scene.record.renderFlags = flags;
        auto* shader = stepped();
        shader->cachedLight = 0x1234;
        rig.host.log.clear();
        EXPECT_EQ(classify(shader, {0, -5, 0}).viewerId, matches ? light : 0u);
        EXPECT_EQ(shader->cachedLight, matches ? light : 0u);
        // With the bit clear the walk does not even start: no light is asked for.
        if (!matches) {
            EXPECT_TRUE(rig.host.log.calls().empty());
        }

        // The light frame's own question reads the same bit.
        velorastin::LightFrame frame(light, shader);
        frame.update();
        EXPECT_EQ(frame.rayTowardLight({0, 0, 0}, {0, -1, 0}), matches);
    }
}

TEST_F(Classification, NodesOfOtherKindsMatchOnlyAlongTheirDirectionAndStayOrdinary) {
    for (int32_t kind : {1, 3, -2, 0x102}) {
        SCOPED_TRACE(kind);
        host::RayCallNode against = nodeAt(kNowhere, {7, 3, 0}, kind);
        host::RayCallNode along = nodeAt(kNowhere, {-0.919145030018058, -0.393919298579168, 0}, kind);
        against.next = &along;
        list.head = &against;
        auto* shader = stepped();
        const shadertest::Seen s = classify(shader, kNowhere);
        EXPECT_EQ(s.node, &along);
        EXPECT_EQ(s.nodeKind, kind);
        EXPECT_EQ(s.viewerMode, 0);
        EXPECT_EQ(s.viewerId, 0u);
    }
}

TEST_F(Classification, ARegistryBlockThatCannotBeMadeLeavesNoRegistry) {
    auto* shader = stepped(false);
    ASSERT_EQ(shader->rayCallList, &velorastin::ownRayCallList.list);
    // A new render without the block, and a host that cannot make one.
    rig.host.endRender();
    rig.host.renderMemory.create = [](const char*, int32_t) -> void* { return nullptr; };
    ASSERT_EQ(rig.newTime(shader), nullptr);
    EXPECT_EQ(shader->rayCallList, nullptr);
    const shadertest::Seen s = classify(shader, kCameraAt);  // the camera is still recognised
    EXPECT_EQ(s.viewerId, kCamera);
    EXPECT_EQ(s.registryTag, 0u);
}

TEST(RayCallList, TheOwnListFreesEveryNodeStillChainedAtUnload) {
    INPROC_SKIP_UNLESS_HEAP_COUNTED();
    // Nodes as another party might leave them: longer than the shared part, from malloc.
    constexpr std::size_t kNodeSize = 40000;
    const std::size_t before = inproc::heapInUse();
    {
        velorastin::OwnRayCallList own;
        for (int i = 0; i < 3; ++i) {
            auto* node = static_cast<host::RayCallNode*>(std::malloc(kNodeSize));
            ASSERT_TRUE(node);
            std::memset(static_cast<void*>(node), 0, kNodeSize);
            node->next = own.list.head;
            own.list.head = node;
        }
        ASSERT_GE(inproc::heapInUse(), before + 3 * kNodeSize);
    }
    EXPECT_LT(inproc::heapInUse(), before + kNodeSize);
}

TEST(RayCallList, LeavingGivesBackOnlyTheOwnHold) {
    // Another party that counts its own hold on top of the module's keeps it.
    host::RayCallList list{};
    velorastin::enterRayCallList(list);
    ASSERT_EQ(list.busy, 1);
    std::atomic_ref<int32_t>(list.busy).fetch_add(1);
    velorastin::leaveRayCallList(list);
    EXPECT_EQ(list.busy, 1);
}

TEST(RayCallList, ConcurrentFindsKeepBusyExclusive) {
    host::SampleAccess record = sampleRecord(kPoint, kNowhere);
    velorastin::ShadingSample sample(nullptr, &record);
    host::RayCallNode node = nodeAt(kNowhere, {0, 0, 1}, 2);
    host::RayCallList list{};
    list.head = &node;
    std::atomic<int> wrongResults{0}, sharedEntries{0}, inside{0}, ready{0};
    auto party = [&] {
        // Start together and keep at it for a while, so that the two really overlap.
        ready.fetch_add(1);
        while (ready.load() < 2) __builtin_ia32_pause();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < until) {
            if (velorastin::find(list, sample) != &node) ++wrongResults;
            // Holding the list as another party would: nobody else may be inside meanwhile.
            velorastin::enterRayCallList(list);
            if (inside.fetch_add(1) != 0 || std::atomic_ref<int32_t>(list.busy).load() != 1) ++sharedEntries;
            for (int spin = 0; spin < 20; ++spin) __builtin_ia32_pause();
            inside.fetch_sub(1);
            velorastin::leaveRayCallList(list);
        }
    };
    auto done = std::async(std::launch::async, [&] {
        std::thread other(party);
        party();
        other.join();
    });
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "concurrent finds never finished: busy is stuck at %d\n", list.busy);
        std::_Exit(1);
    }
    EXPECT_EQ(wrongResults.load(), 0);
    EXPECT_EQ(sharedEntries.load(), 0);
    EXPECT_EQ(list.busy, 0);
}
