// Acquisition of the host's global services: order, the first missing one's
// message, and the optional services the flags ask for.
#include <string>
#include <vector>

#include "servers/LinearizeShader.h"
#include "tests/inproc/InProcess.h"

using inproc::kRequiredLookups;
using inproc::ProbeFilter;
using Names = std::vector<std::string>;

class Services : public inproc::InProcess {
protected:
    // An instance whose creation-time lookups are already out of the log.
    ProbeFilter* freshInstance() {
        EXPECT_EQ(activateFilter(), 0);
        ProbeFilter* probe = create<ProbeFilter>();
        hostEmu.log.clear();
        return probe;
    }
};

TEST_F(Services, EightLookupsInOrder) {
    ProbeFilter* probe = freshInstance();
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->init(), nullptr);
    EXPECT_EQ(hostEmu.lookups(), kRequiredLookups);
    for (const refhost::Call& c : hostEmu.log.named("lookup")) EXPECT_EQ(c.args.at(1), "0");
    EXPECT_EQ(velorastin::sceneInfo, &hostEmu.scene.record);
    EXPECT_EQ(velorastin::cameraInfo, &hostEmu.cameraInfo);
    EXPECT_EQ(velorastin::renderMemory, &hostEmu.renderMemory);
    filterTable.destroy(probe);
}

TEST_F(Services, FirstMissingServiceEndsTheRun) {
    ProbeFilter* probe = freshInstance();
    ASSERT_TRUE(probe);
    hostEmu.withhold("LW Camera Info");
    void* const objectInfoBefore = velorastin::objectInfo;
    EXPECT_STREQ(probe->init(), "Couldn't get Camera Info");
    EXPECT_EQ(hostEmu.lookups(), Names(kRequiredLookups.begin(), kRequiredLookups.begin() + 5));
    EXPECT_EQ(velorastin::cameraInfo, nullptr);
    EXPECT_EQ(velorastin::lightInfo, &hostEmu.lightInfo);
    EXPECT_EQ(velorastin::objectInfo, objectInfoBefore);  // later steps keep their pointers

    hostEmu.log.clear();
    hostEmu.withhold("Info Messages");
    EXPECT_STREQ(probe->init(), "Couldn't get Info Messages functions");
    EXPECT_EQ(hostEmu.lookups(), Names{"Info Messages"});
    filterTable.destroy(probe);
}

TEST_F(Services, ObjectAccessPairComesAfterTheRequiredServices) {
    struct Row {
        const char* missing;
        const char* message;
        Names asked;  // after the required ones
    };
    const Row rows[] = {
        {"LWObjectAccess", "Object Access not found. Please add 'polyquery.p'", {"LWObjectAccess"}},
        {"LWObjectHelp", "Object Help not found. Please add 'polyquery.p'", {"LWObjectAccess", "LWObjectHelp"}},
    };
    ProbeFilter* probe = freshInstance();
    ASSERT_TRUE(probe);
    hostEmu.offerOptionalServices();
    probe->needsObjectAccess = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.missing);
        hostEmu.withhold(row.missing);
        hostEmu.log.clear();
        EXPECT_STREQ(probe->init(), row.message);
        Names expected = kRequiredLookups;
        expected.insert(expected.end(), row.asked.begin(), row.asked.end());
        EXPECT_EQ(hostEmu.lookups(), expected);
        EXPECT_EQ(velorastin::objectAccess == nullptr, row.asked.size() == 1);
        hostEmu.provide(row.missing);
    }
    filterTable.destroy(probe);
}

TEST_F(Services, EachShippedServerMakesExactlyTheEightLookups) {
    ASSERT_EQ(activateFilter(), 0);
    ::host::ShaderHandler shaderTable{};
    ASSERT_EQ(velorastin::shaderActivationOf<velorastin::LinearizeShader>(2, refhost::Host::lookupFunction(),
                                                                          &shaderTable, nullptr),
              0);
    hostEmu.offerOptionalServices();  // on offer, yet neither server asks for them
    for (bool shader : {true, false}) {
        SCOPED_TRACE(shader ? "shader" : "filter");
        hostEmu.log.clear();
        host::Instance instance = shader ? shaderTable.create(nullptr) : filterTable.create(nullptr);
        ASSERT_TRUE(instance);
        EXPECT_EQ(hostEmu.lookups(), kRequiredLookups);  // creation runs init once
        hostEmu.log.clear();
        EXPECT_EQ(velorastin::serverOf(instance)->init(), nullptr);
        EXPECT_EQ(hostEmu.lookups(), kRequiredLookups);
        velorastin::destroyEntry(instance);
    }
}

namespace {
int shaderLookups = 0, filterLookups = 0;
void* shaderLookup(const char* name, int32_t use) {
    ++shaderLookups;
    return refhost::Host::lookupFunction()(name, use);
}
void* filterLookup(const char* name, int32_t use) {
    ++filterLookups;
    return refhost::Host::lookupFunction()(name, use);
}
} // namespace

TEST_F(Services, TheLastActivationsLookupServesEveryInstance) {
    ::host::ShaderHandler shaderTable{};
    ASSERT_EQ(velorastin::shaderActivationOf<velorastin::LinearizeShader>(2, shaderLookup, &shaderTable, nullptr), 0);
    ASSERT_EQ(velorastin::filterActivationOf<velorastin::DisplayEncodeFilter>(2, filterLookup, &filterTable, nullptr),
              0);
    host::Instance shader = shaderTable.create(nullptr);
    ASSERT_TRUE(shader);
    EXPECT_EQ(shaderTable.newTime(shader, 1, 0.0), nullptr);
    EXPECT_EQ(shaderLookups, 0);
    EXPECT_EQ(filterLookups, 16);  // creation and the time step: eight each

    ASSERT_EQ(velorastin::shaderActivationOf<velorastin::LinearizeShader>(1, shaderLookup, &shaderTable, nullptr), 0);
    host::Instance filter = filterTable.create(nullptr);
    ASSERT_TRUE(filter);
    EXPECT_EQ(shaderLookups, 8);
    EXPECT_EQ(filterLookups, 16);
    shaderTable.destroy(shader);
    filterTable.destroy(filter);
}

TEST_F(Services, GradientIsKeptOnceFoundAndRetriedUntilThen) {
    ProbeFilter* probe = freshInstance();
    ASSERT_TRUE(probe);
    probe->needsGradient = 1;
    Names withGradient = kRequiredLookups;
    withGradient.push_back("GradientAccess");
    // Not offered yet: each run reports it and asks again.
    for (int run = 0; run < 2; ++run) {
        hostEmu.log.clear();
        EXPECT_STREQ(probe->init(), "Couldn't get Gradient services. Please add plugin rampwork.p");
        EXPECT_EQ(hostEmu.lookups(), withGradient);
    }
    hostEmu.offerOptionalServices();
    for (const Names& expected : {withGradient, kRequiredLookups}) {
        hostEmu.log.clear();
        EXPECT_EQ(probe->init(), nullptr);
        EXPECT_EQ(hostEmu.lookups(), expected);
        EXPECT_EQ(probe->gradientService, hostEmu.gradientRecord());
    }
    // Destruction releases it, once; an instance without one releases nothing.
    filterTable.destroy(create<ProbeFilter>());
    EXPECT_TRUE(hostEmu.log.named("gradient.release").empty());
    filterTable.destroy(probe);
    EXPECT_EQ(hostEmu.log.named("gradient.release").size(), 1u);
}

TEST_F(Services, InitBeforeAnyActivationMakesNoCall) {
    // An interface activation can reach init before the module has a lookup.
    ProbeFilter probe;
    EXPECT_STREQ(probe.init(), "Couldn't get Info Messages functions");
    EXPECT_STREQ(velorastin::acquireHandlerServices(probe), "Couldn't get Info Messages functions");
    EXPECT_TRUE(hostEmu.log.calls().empty());
}
