#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ShaderTesting.h"
#include "framework/Services.h"

using shadertest::ClassifyingShader;
using shadertest::LightRayShader;
using shadertest::PlainShader;
using shadertest::sampleRecord;
using shadertest::ShaderRig;

namespace {

void* otherLookup(const char*, int32_t) { return nullptr; }

bool untouched(const host::ShaderHandler& table, std::size_t from = 0, std::size_t to = sizeof(host::ShaderHandler)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&table);
    for (std::size_t i = from; i < to; ++i)
        if (bytes[i] != shadertest::kSentinel) return false;
    return true;
}

refhost::SceneModel litScene() {
    refhost::SceneModel scene = refhost::SceneModel::basic();
    scene.addCamera("Camera", {0, 0, -10}, {0, 0, 1}, {0, 1, 0}, 2.0);
    scene.addLight("Light", host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    return scene;
}

} // namespace

TEST(ShaderActivation, OtherVersionsInstallNothing) {
    ShaderRig rig;
    const host::GlobalLookup before = velorastin::globalLookup;
    for (int32_t version : {0, 3, -1}) {
        EXPECT_EQ(velorastin::shaderActivationOf<PlainShader>(version, otherLookup, &rig.table, nullptr), 1);
        EXPECT_TRUE(untouched(rig.table)) << "version " << version;
        EXPECT_EQ(velorastin::globalLookup, before);
    }
    ASSERT_EQ(rig.activate<PlainShader>(1), 0);
    EXPECT_EQ(velorastin::shaderActivationOf<PlainShader>(3, otherLookup, &rig.table, nullptr), 1);
    EXPECT_EQ(velorastin::globalLookup, refhost::Host::lookupFunction());
}

TEST(ShaderActivation, VersionOneFillsTheTableUpToTheFlagsEntry) {
    ShaderRig rig;
    ASSERT_EQ(rig.activate<PlainShader>(1), 0);
    EXPECT_EQ(velorastin::globalLookup, refhost::Host::lookupFunction());
    const host::ShaderHandler& t = rig.table;
    EXPECT_EQ(t.create, &velorastin::createEntry<PlainShader>);
    EXPECT_EQ(t.destroy, &velorastin::destroyEntry);
    EXPECT_EQ(t.copy, &velorastin::copyEntry);
    EXPECT_EQ(t.load, &velorastin::loadEntry);
    EXPECT_EQ(t.save, &velorastin::saveEntry);
    EXPECT_EQ(t.init, &velorastin::initEntry);
    EXPECT_EQ(t.cleanup, &velorastin::cleanupEntry);
    EXPECT_EQ(t.newTime, &velorastin::shaderNewTimeEntry);
    EXPECT_EQ(t.evaluate, &velorastin::shaderEvaluateEntry);
    EXPECT_EQ(t.flags, &velorastin::shaderFlagsEntry);
    EXPECT_TRUE(untouched(t, offsetof(host::ShaderHandler, describe)));
}

TEST(ShaderActivation, VersionTwoAddsTheDescribeEntry) {
    ShaderRig rig;
    auto* shader = rig.create<PlainShader>();
    ASSERT_NE(shader, nullptr);
    ASSERT_EQ(rig.table.describe, &velorastin::describeEntry);
    const char* text = rig.table.describe(ShaderRig::instanceOf(shader));
    EXPECT_EQ(text, shader->description);
    EXPECT_STREQ(text, "RecordingShader");
}

TEST(ShaderServer, TimeStepSwitchesTheClassificationOnOnlyWhenAsked) {
    ShaderRig rig;
    auto* plain = rig.create<PlainShader>();
    auto* classifying = rig.create<ClassifyingShader>();
    auto* lightRays = rig.create<LightRayShader>();
    for (velorastin::ShaderServer* s : {static_cast<velorastin::ShaderServer*>(plain),
                                        static_cast<velorastin::ShaderServer*>(classifying),
                                        static_cast<velorastin::ShaderServer*>(lightRays)})
        EXPECT_EQ(s->classificationDisabled, 1);
    for (int step = 1; step <= 2; ++step) {
        SCOPED_TRACE(step);
        ASSERT_EQ(rig.newTime(plain, step), nullptr);
        ASSERT_EQ(rig.newTime(classifying, step), nullptr);
        ASSERT_EQ(rig.newTime(lightRays, step), nullptr);
        EXPECT_EQ(plain->classificationDisabled, 1);
        EXPECT_EQ(classifying->classificationDisabled, 0);
        EXPECT_EQ(lightRays->classificationDisabled, 0);
        // Once on, it stays on, whatever the flags say later.
        classifying->flags = 2;
        lightRays->handlesLightRays = 0;
    }
}

TEST(ShaderServer, OnlyBit0x400OfTheFlagsAsksForTheClassification) {
    ShaderRig rig;
    auto* others = rig.create<shadertest::RecordingShader<~velorastin::ShaderServer::kClassifyFlag, 0>>();
    ASSERT_EQ(rig.newTime(others), nullptr);
    EXPECT_EQ(others->classificationDisabled, 1);
}

namespace {
// A shader that keeps every default operation of the framework.
class BareShader : public velorastin::ShaderServer {
public:
    BareShader() { serverName = "BareShader"; }
};
} // namespace

TEST(ShaderServer, DefaultOperationsLeaveTheSampleAndAnswerNothing) {
    ShaderRig rig;
    auto* shader = rig.create<BareShader>();
    ASSERT_TRUE(shader);
    shader->handlesLightRays = 1;
    ASSERT_EQ(rig.newTime(shader), nullptr);
    rig.host.scene.addLight("Light", host::kLightPoint, host::kShadowRayTraced, {0, 10, 0});
    for (refhost::Vec source : {refhost::Vec{0, -5, 0}, refhost::Vec{7, 3, 0}}) {  // a light ray, an ordinary one
        host::SampleAccess record = shadertest::sampleRecord({0, 0, 0}, source);
        const host::SampleAccess before = record;
        rig.evaluate(shader, record);
        EXPECT_TRUE(shadertest::sameBytes(&record, &before, 0, sizeof record));
    }
    rig.table.cleanup(ShaderRig::instanceOf(shader));
    EXPECT_EQ(shader->reserved(), 0);
    EXPECT_EQ(shader->HandlerServer::newTime(1, 0.0), nullptr);
}

TEST(ShaderServer, FailedTimeStepKeepsTheInstanceAsItWas) {
    ShaderRig rig;
    auto* shader = rig.create<ClassifyingShader>();
    shader->cachedLight = 0x77;
    rig.host.withhold(host::kCameraInfoService);
    const char* error = rig.newTime(shader, 1, 0.25);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, "Couldn't get Camera Info");
    EXPECT_EQ(shader->cachedLight, 0x77u);
    EXPECT_EQ(shader->classificationDisabled, 1);
    EXPECT_EQ(shader->rayCallList, nullptr);

    rig.host.provide(host::kCameraInfoService);
    ASSERT_EQ(rig.newTime(shader, 1, 0.25), nullptr);
    EXPECT_EQ(shader->cachedLight, 0u);  // every time step forgets the light
    EXPECT_EQ(shader->classificationDisabled, 0);
    host::RayCallList* attached = shader->rayCallList;
    ASSERT_NE(attached, nullptr);

    shader->cachedLight = 0x77;
    rig.host.withhold(host::kRenderMemoryService);
    EXPECT_STREQ(rig.newTime(shader, 2, 0.5), "Couldn't get Global Render Memory");
    EXPECT_EQ(shader->cachedLight, 0x77u);
    EXPECT_EQ(shader->frame, 1);
    EXPECT_EQ(shader->time, 0.25);
    EXPECT_EQ(shader->rayCallList, attached);
}

TEST(ShaderServer, EvaluateDispatchesByViewer) {
    ShaderRig rig(litScene());
    auto* lightRays = rig.create<LightRayShader>();
    auto* classifying = rig.create<ClassifyingShader>();
    ASSERT_EQ(rig.newTime(lightRays), nullptr);
    ASSERT_EQ(rig.newTime(classifying), nullptr);
    const refhost::Vec point{0, 0, 0}, towardLight{0, -5, 0}, fromCamera{0, 0, -10};

    host::SampleAccess lit = sampleRecord(point, towardLight);
    host::SampleAccess special = sampleRecord(point, towardLight, 0x00027FFF);
    host::SampleAccess seen = sampleRecord(point, fromCamera);
    for (host::SampleAccess* r : {&lit, &special, &seen}) {
        rig.evaluate(lightRays, *r);
        rig.evaluate(classifying, *r);
    }
    EXPECT_EQ(lightRays->operations(), "LSEE");
    EXPECT_EQ(classifying->operations(), "ESEE");
    EXPECT_EQ(classifying->seen[0].viewerMode, 1);  // a light ray, yet handled as ordinary
    EXPECT_EQ(lightRays->seen[2].viewerMode, 2);    // evaluate got the special sample itself
    EXPECT_EQ(lightRays->seen[3].viewerMode, 0);
}

TEST(ShaderServer, FlagsEntryReturnsTheStoredWord) {
    ShaderRig rig;
    auto* odd = rig.create<shadertest::RecordingShader<0x80000402u, 0>>();
    EXPECT_EQ(rig.table.flags(ShaderRig::instanceOf(odd)), 0x80000402u);
    auto* plain = rig.create<PlainShader>();
    EXPECT_EQ(rig.table.flags(ShaderRig::instanceOf(plain)), 2u);
}

TEST(ShaderServer, ANewInstanceStartsUnclassifiedWithoutFlagsOrRegistry) {
    // A shader class whose create entry sets no flags of its own.
    ShaderRig rig(litScene());
    auto* bare = rig.create<velorastin::ShaderServer>();
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(rig.table.flags(ShaderRig::instanceOf(bare)), 0u);
    EXPECT_STREQ(bare->serverName, "unnamed");  // nothing named it
    EXPECT_TRUE(bare->cachedLight == 0 && bare->rayCallList == nullptr && bare->handlesLightRays == 0 &&
                bare->classificationDisabled == 1);
}

TEST(ShaderServer, CopyGivesTheTargetItsOwnTemplates) {
    ShaderRig rig(litScene());
    auto* source = rig.create<ClassifyingShader>();
    ASSERT_EQ(rig.newTime(source), nullptr);
    source->cachedLight = 0x31;
    source->transparentTemplate.colour.x = 0.3;
    source->opaqueTemplate.access->roughness = 0.6;
    std::strcpy(source->description, "linear, for print");
    source->handlesLightRays = 1;
    auto* target = rig.create<PlainShader>();  // same server name, other settings
    host::RayCallList own{};
    target->rayCallList = &own;

    EXPECT_EQ(rig.table.copy(ShaderRig::instanceOf(source), ShaderRig::instanceOf(target)), 0);
    EXPECT_EQ(target->cachedLight, 0x31u);
    EXPECT_EQ(target->flags, ClassifyingShader::kClassifyFlag);
    EXPECT_EQ(target->handlesLightRays, 1);
    EXPECT_EQ(target->classificationDisabled, 0);
    EXPECT_STREQ(target->description, "linear, for print");  // the handler part is copied last
    EXPECT_EQ(target->rayCallList, &own);
    const velorastin::ShadingSample* pairs[2][2] = {{&source->transparentTemplate, &target->transparentTemplate},
                                                     {&source->opaqueTemplate, &target->opaqueTemplate}};
    for (auto& [from, to] : pairs) {
        ASSERT_NE(to->access, from->access);
        EXPECT_EQ(to->ownsAccess, 1);
        EXPECT_EQ(std::memcmp(to->access, from->access, sizeof(host::SampleAccess)), 0);
    }
    EXPECT_EQ(target->transparentTemplate.colour.x, 0.3);
    EXPECT_EQ(target->opaqueTemplate.access->roughness, 0.6);
    EXPECT_EQ(target->opaqueTemplate.transparency, 0.0);

    source->transparentTemplate.access->colour[0] = 9.0;
    source->transparentTemplate.colour.y = 8.0;
    source->opaqueTemplate.access->transparency = 0.5;
    EXPECT_EQ(target->transparentTemplate.access->colour[0], 1.0);
    EXPECT_EQ(target->transparentTemplate.colour.y, 1.0);
    EXPECT_EQ(target->opaqueTemplate.access->transparency, 0.0);

    // Copying a disabled classification back switches it off again.
    auto* plain = rig.create<PlainShader>();
    rig.table.copy(ShaderRig::instanceOf(plain), ShaderRig::instanceOf(target));
    EXPECT_EQ(target->classificationDisabled, 1);
    EXPECT_EQ(target->flags, 2u);
}
