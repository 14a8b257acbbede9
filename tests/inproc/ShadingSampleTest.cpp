#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "ShaderTesting.h"
#include "tests/inproc/HeapInUse.h"
#include "shader/ShadingSample.h"

using velorastin::ShaderServer;
using velorastin::ShadingSample;
using velorastin::Vec3;

namespace {

// Every field of the record differs from every other one.
host::SampleAccess distinctRecord() {
    host::SampleAccess r;
    std::memset(&r, 0, sizeof r);
    double next = 0.5;
    auto fill = [&](double* d, int n) {
        for (int i = 0; i < n; ++i, next += 1.25) d[i] = next;
    };
    r.pixelX = 11;
    r.pixelY = -12;
    fill(r.objectPosition, 3);
    fill(r.worldPosition, 3);
    fill(r.geometricNormal, 3);
    fill(&r.spotSize, 1);
    fill(r.raySource, 3);
    fill(&r.rayLength, 1);
    fill(&r.hitCosine, 1);
    fill(r.objectTransform, 9);
    fill(r.worldTransform, 9);
    r.itemId = 0x01020304;
    r.polygonIndex = 4321;
    fill(r.shadingNormal, 3);
    fill(r.colour, 3);
    for (double* level : {&r.luminosity, &r.diffuse, &r.specular, &r.mirror, &r.transparency, &r.eta, &r.roughness})
        fill(level, 1);
    for (int i = 0; i < 4; ++i) r.hostFunctions[i] = reinterpret_cast<void*>(0x1000 + i);
    return r;
}

void expectVec(const Vec3& v, const double* d) {
    EXPECT_EQ(v.x, d[0]);
    EXPECT_EQ(v.y, d[1]);
    EXPECT_EQ(v.z, d[2]);
}

void expectMatrix(const velorastin::Matrix& m, const double* d) {
    ASSERT_EQ(m.rows, 3);
    ASSERT_EQ(m.cols, 3);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(m.data[i], d[i]) << "element " << i;
}

void expectUnpackedFrom(const ShadingSample& s, const host::SampleAccess& r) {
    EXPECT_EQ(s.pixelX, r.pixelX);
    EXPECT_EQ(s.pixelY, r.pixelY);
    expectVec(s.objectPosition, r.objectPosition);
    expectVec(s.worldPosition, r.worldPosition);
    expectVec(s.geometricNormal, r.geometricNormal);
    EXPECT_EQ(s.spotExtent, r.spotSize);
    expectVec(s.rayOrigin, r.raySource);
    EXPECT_EQ(s.rayDistance, r.rayLength);
    EXPECT_EQ(s.hitCosine, r.hitCosine);
    expectMatrix(s.objectTransform, r.objectTransform);
    expectMatrix(s.worldTransform, r.worldTransform);
    EXPECT_EQ(s.itemId, r.itemId);
    EXPECT_EQ(s.polygonIndex, r.polygonIndex);
    expectVec(s.shadingNormal, r.shadingNormal);
    expectVec(s.colour, r.colour);
    EXPECT_EQ(s.luminosity, r.luminosity);
    EXPECT_EQ(s.diffuseLevel, r.diffuse);
    EXPECT_EQ(s.specularLevel, r.specular);
    EXPECT_EQ(s.reflection, r.mirror);
    EXPECT_EQ(s.transparency, r.transparency);
    EXPECT_EQ(s.refractiveIndex, r.eta);
    EXPECT_EQ(s.roughness, r.roughness);
}

} // namespace

TEST(ShadingSample, UnpacksEveryFieldFromItsOwnOffset) {
    host::SampleAccess record = distinctRecord();
    ShaderServer server;
    ShadingSample sample(&server, &record);
    expectUnpackedFrom(sample, record);
    EXPECT_EQ(sample.owner, &server);
    EXPECT_EQ(sample.access, &record);
    EXPECT_EQ(sample.ownsAccess, 0);
    EXPECT_EQ(sample.node, nullptr);
    EXPECT_EQ(sample.viewerMode, 0);
    EXPECT_EQ(sample.nodeKind, 0);
    EXPECT_EQ(sample.registryTag, 0u);
    EXPECT_EQ(sample.viewerId, 0u);

    // A transform of another size gets a fresh 3 x 3 array (ASan sees an overrun otherwise).
    sample.objectTransform.resize(2, 2);
    sample.worldTransform.resize(1, 2);
    sample.unpack();
    expectMatrix(sample.objectTransform, record.objectTransform);
    expectMatrix(sample.worldTransform, record.worldTransform);
}

TEST(ShadingSample, WriteBackChangesOnlyNormalColourAndLevels) {
    host::SampleAccess record = distinctRecord();
    const host::SampleAccess before = record;
    ShaderServer server;
    ShadingSample sample(&server, &record);
    sample.shadingNormal = {-1.0, -2.0, -3.0};
    sample.colour = {-4.0, -5.0, -6.0};
    sample.luminosity = -7.0;
    sample.diffuseLevel = -8.0;
    sample.specularLevel = -9.0;
    sample.reflection = -10.0;
    sample.transparency = -11.0;
    sample.refractiveIndex = -12.0;
    sample.roughness = -13.0;
    // Changes outside the written fields stay in the sample.
    sample.worldPosition = {99.0, 98.0, 97.0};
    sample.itemId = 0x7FFF;
    sample.pixelX = 5;
    sample.rayOrigin = {1.0, 1.0, 1.0};
    sample.objectTransform.at(0, 0) = 42.0;
    sample.writeBack();

    EXPECT_TRUE(shadertest::sameBytes(&record, &before, 0, host::kSampleWritableBegin));
    EXPECT_TRUE(shadertest::sameBytes(&record, &before, host::kSampleWritableEnd, sizeof record));
    const double* written = record.shadingNormal;
    for (int i = 0; i < 13; ++i) EXPECT_EQ(written[i], -1.0 - i) << "double " << i << " from offset 280";
}

TEST(ShadingSample, WriteBackAnswersOnlyANodeWithAReply) {
    host::SampleAccess record = distinctRecord();
    ShaderServer server;
    ShadingSample sample(&server, &record);
    host::RayCallNode node{};
    node.kind = 1;
    node.callerId = 0x55;
    sample.node = &node;

    // A node without a reply record: neither the node nor the record beyond its fields change.
    const host::RayCallNode nodeBefore = node;
    const host::SampleAccess recordBefore = record;
    sample.writeBack();
    EXPECT_EQ(std::memcmp(&node, &nodeBefore, sizeof node), 0);
    EXPECT_TRUE(shadertest::sameBytes(&record, &recordBefore, host::kSampleWritableEnd, sizeof record));

    host::RayCallReply reply{0xDEADBEEF, nullptr};
    node.reply = &reply;
    const host::RayCallNode answeredBefore = node;
    sample.writeBack();
    EXPECT_EQ(reply.shader, static_cast<void*>(&server));
    EXPECT_EQ(reply.callerReserved0, 0xDEADBEEFu);
    EXPECT_EQ(std::memcmp(&node, &answeredBefore, sizeof node), 0);
}

TEST(ShadingSample, DeepCopyOwnsItsRecordAndCopiesTheFields) {
    host::SampleAccess record = distinctRecord();
    ShaderServer server;
    ShadingSample source(&server, &record);
    host::RayCallNode node{};
    source.node = &node;
    source.viewerMode = 1;
    source.nodeKind = 2;
    source.registryTag = 77;
    source.viewerId = 0x99;
    source.colour.x = -5.0;  // changed without a write-back
    const host::SampleAccess before = record;
    {
        ShadingSample copy;
        copy.assignFrom(source);
        ASSERT_NE(copy.access, nullptr);
        EXPECT_NE(copy.access, &record);
        EXPECT_EQ(copy.ownsAccess, 1);
        EXPECT_EQ(std::memcmp(copy.access, &record, sizeof record), 0);
        EXPECT_EQ(copy.node, &node);
        EXPECT_EQ(copy.owner, &server);
        EXPECT_EQ(copy.viewerMode, 1);
        EXPECT_EQ(copy.nodeKind, 2);
        EXPECT_EQ(copy.registryTag, 77u);
        EXPECT_EQ(copy.viewerId, 0x99u);
        // Fields come from the source's fields, not from its record.
        EXPECT_EQ(copy.colour.x, -5.0);
        EXPECT_EQ(copy.access->colour[0], record.colour[0]);
        host::SampleAccess expected = record;
        expected.colour[0] = -5.0;
        expectUnpackedFrom(copy, expected);

        copy.access->colour[1] = 123.0;
        copy.access->pixelX = 1;
        EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    }
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);

    // Destroying a copy of an owning sample leaves the first one's record alive
    // (ASan reports a double free or a use after free otherwise).
    auto first = std::make_unique<ShadingSample>();
    first->assignFrom(source);
    {
        ShadingSample second;
        second.assignFrom(*first);
        EXPECT_NE(second.access, first->access);
    }
    EXPECT_EQ(first->access->pixelX, record.pixelX);
    // Copying into an owning sample releases its previous record (ASan's leak check).
    first->assignFrom(source);
    EXPECT_EQ(first->ownsAccess, 1);
}

TEST(ShadingSample, ABlankSampleIsAllZeros) {
    const ShadingSample s;
    EXPECT_TRUE(s.node == nullptr && s.owner == nullptr && s.access == nullptr && s.ownsAccess == 0);
    EXPECT_TRUE(s.viewerMode == 0 && s.nodeKind == 0 && s.pixelX == 0 && s.pixelY == 0);
    EXPECT_TRUE(s.itemId == 0 && s.polygonIndex == 0 && s.registryTag == 0 && s.viewerId == 0);
    for (double d : {s.spotExtent, s.rayDistance, s.hitCosine, s.luminosity, s.diffuseLevel, s.specularLevel,
                     s.reflection, s.transparency, s.refractiveIndex, s.roughness})
        EXPECT_EQ(d, 0.0);
    for (const Vec3* v : {&s.objectPosition, &s.worldPosition, &s.geometricNormal, &s.rayOrigin, &s.shadingNormal,
                          &s.colour})
        EXPECT_TRUE(v->x == 0.0 && v->y == 0.0 && v->z == 0.0);
    EXPECT_TRUE(s.objectTransform.rows == 3 && s.objectTransform.cols == 3 && s.objectTransform.data);
}

TEST(ShadingSample, CopyingABlankOrAttachingAHostRecordLetsTheOwnCopyGo) {
    host::SampleAccess record = distinctRecord();
    const ShadingSample source(nullptr, &record);
    const ShadingSample blank;
    for (bool attachAfter : {false, true}) {
        ShadingSample s;
        s.assignFrom(source);
        ASSERT_TRUE(s.ownsAccess == 1 && s.access != &record);
        s.viewerId = 5;
        s.registryTag = 6;
        if (attachAfter) {
            host::SampleAccess other = distinctRecord();
            other.pixelX = 99;
            s.attach(&other);
            EXPECT_TRUE(s.access == &other && s.ownsAccess == 0 && s.pixelX == 99);
            EXPECT_TRUE(s.viewerId == 0 && s.registryTag == 0);
            s.attach(&record);  // before `other` goes: the sample never frees a host record
        } else {
            s.assignFrom(blank);
            EXPECT_TRUE(s.access == nullptr && s.ownsAccess == 0);
        }
    }
    // Over and over, nothing is lost: each private copy goes when another copy
    // or a host record takes its place.
    INPROC_SKIP_UNLESS_HEAP_COUNTED();
    const std::size_t before = inproc::heapInUse();
    {
        ShadingSample s;
        for (int i = 0; i < 100; ++i) {
            s.assignFrom(source);
            s.assignFrom(source);
            s.attach(&record);
        }
    }
    EXPECT_LT(inproc::heapInUse(), before + 20 * sizeof(host::SampleAccess));
}

TEST(ShadingSample, DeepCopyReallocatesTransformsOnlyWhenCountsDiffer) {
    host::SampleAccess record = distinctRecord();
    ShadingSample source(nullptr, &record);
    source.worldTransform.resize(4, 4);
    for (int i = 0; i < 16; ++i) source.worldTransform.data[i] = 100.0 + i;

    ShadingSample target;
    target.objectTransform.resize(9, 1);  // same count, other shape
    const double* kept = target.objectTransform.data;
    target.assignFrom(source);
    EXPECT_EQ(target.objectTransform.data, kept);
    expectMatrix(target.objectTransform, record.objectTransform);
    ASSERT_EQ(target.worldTransform.rows, 4);
    ASSERT_EQ(target.worldTransform.cols, 4);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(target.worldTransform.data[i], 100.0 + i);

    // A smaller array must be replaced before the source's nine elements go in.
    ShadingSample small;
    small.objectTransform.resize(2, 2);
    small.assignFrom(source);
    expectMatrix(small.objectTransform, record.objectTransform);
}

TEST(ShadingSample, FreshServerTemplatesHoldTheDefaultRecord) {
    host::SampleAccess expected{};
    expected.pixelX = expected.pixelY = -42;
    expected.geometricNormal[1] = expected.shadingNormal[1] = 1.0;
    expected.spotSize = expected.hitCosine = expected.eta = expected.roughness = 1.0;
    expected.rayLength = 1300000014336.0;  // 1.3e12 in single precision, not 1.3e12 itself
    for (int i : {0, 4, 8}) expected.objectTransform[i] = expected.worldTransform[i] = 1.0;
    for (double& c : expected.colour) c = 1.0;

    shadertest::ShaderRig rig;
    // Leave blocks of the record's size dirty on the heap, so that a default
    // record built in reused memory shows every byte it did not write.
    for (int i = 0; i < 4; ++i) {
        void* block = std::malloc(sizeof(host::SampleAccess));
        std::memset(block, 0xAB, sizeof(host::SampleAccess));
        asm volatile("" : : "r"(block) : "memory");  // the compiler may not drop the writes
        std::free(block);
    }
    auto* shader = rig.create<shadertest::PlainShader>();
    ASSERT_NE(shader, nullptr);
    EXPECT_NE(shader->transparentTemplate.access, shader->opaqueTemplate.access);
    for (double transparency : {1.0, 0.0}) {
        const ShadingSample& t = transparency ? shader->transparentTemplate : shader->opaqueTemplate;
        SCOPED_TRACE(transparency ? "transparent template" : "opaque template");
        ASSERT_NE(t.access, nullptr);
        EXPECT_EQ(t.ownsAccess, 1);
        EXPECT_EQ(t.owner, shader);
        EXPECT_EQ(t.node, nullptr);
        EXPECT_EQ(t.viewerMode, 0);
        EXPECT_EQ(t.nodeKind, 0);
        expected.transparency = transparency;
        EXPECT_EQ(std::memcmp(t.access, &expected, sizeof expected), 0);
        expectUnpackedFrom(t, expected);
    }
}
