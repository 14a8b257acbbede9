// The shared handler entries and finishCreate, driven as the host drives them.
#include <cstring>
#include <new>
#include <string>

#include "tests/inproc/InProcess.h"

using inproc::ProbeFilter;
using velorastin::DisplayEncodeFilter;

namespace {

char filterNameCopy[] = "VelorastinFilter";

} // namespace

class ObjectModel : public inproc::InProcess {};

TEST_F(ObjectModel, CopyBetweenInstancesOfOneServer) {
    ASSERT_EQ(activateFilter(), 0);
    auto* source = create<DisplayEncodeFilter>();
    auto* target = create<DisplayEncodeFilter>();
    auto* other = create<ProbeFilter>();
    ASSERT_TRUE(source && target && other);
    std::strcpy(source->description, "graded for print");
    source->serverName = filterNameCopy;  // equal text, another pointer
    source->needsGradient = source->needsObjectAccess = 1;
    source->time = 4.5;
    target->time = 1.5;

    EXPECT_EQ(filterTable.copy(source, target), 0);
    EXPECT_STREQ(target->description, "graded for print");
    EXPECT_EQ(target->serverName, filterNameCopy);
    EXPECT_TRUE(target->needsGradient == 1 && target->needsObjectAccess == 1);
    EXPECT_EQ(target->time, 1.5);  // time bookkeeping stays the instance's own

    // An instance of another server is left as it is.
    std::strcpy(other->description, "probe");
    EXPECT_EQ(filterTable.copy(source, other), 0);
    EXPECT_STREQ(other->description, "probe");
    EXPECT_EQ(other->serverName, ProbeFilter::kName);
    EXPECT_EQ(other->needsGradient + other->needsObjectAccess, 0);
    filterTable.destroy(source);
    filterTable.destroy(target);
    filterTable.destroy(other);
}

TEST_F(ObjectModel, CopyWithANullOrTheSameInstanceChangesNothing) {
    ASSERT_EQ(activateFilter(), 0);
    auto* filter = create<DisplayEncodeFilter>();
    ASSERT_TRUE(filter);
    std::strcpy(filter->description, "kept");
    filter->needsGradient = 1;
    EXPECT_EQ(filterTable.copy(nullptr, filter), 0);
    EXPECT_EQ(filterTable.copy(filter, nullptr), 0);
    EXPECT_EQ(filterTable.copy(nullptr, nullptr), 0);
    EXPECT_EQ(filterTable.copy(filter, filter), 0);
    EXPECT_STREQ(filter->description, "kept");
    EXPECT_EQ(filter->serverName, DisplayEncodeFilter::kName);
    EXPECT_EQ(filter->needsGradient, 1);
    filterTable.destroy(filter);
}

TEST_F(ObjectModel, DescribeWritesTheNameInsideTheInstance) {
    ASSERT_EQ(activateFilter(2), 0);
    auto* filter = create<DisplayEncodeFilter>();
    ASSERT_TRUE(filter);
    const char* text = filterTable.describe(filter);
    EXPECT_EQ(text, filter->description);
    EXPECT_STREQ(text, "VelorastinFilter");

    // 63 characters fit exactly; a longer name is cut to 63 and must not run
    // into the fields behind the buffer.
    const std::string fits(63, 'a');
    filter->serverName = fits.c_str();
    EXPECT_EQ(filterTable.describe(filter), fits);
    const std::string tooLong = std::string(63, 'b') + "overflowing tail";
    filter->serverName = tooLong.c_str();
    EXPECT_EQ(filterTable.describe(filter), std::string(63, 'b'));
    EXPECT_EQ(filter->serverName, tooLong.c_str());
    // A shorter name after a longer one ends where it ends.
    filter->serverName = "ab";
    EXPECT_STREQ(filterTable.describe(filter), "ab");
    filterTable.destroy(filter);
}

TEST_F(ObjectModel, ANewInstanceHasAnEmptyDescription) {
    // Built over memory that is not zero, as a reused heap block would be.
    alignas(ProbeFilter) unsigned char storage[sizeof(ProbeFilter)];
    std::memset(storage, 'x', sizeof storage);
    auto* probe = new (storage) ProbeFilter();
    EXPECT_EQ(probe->description[0], '\0');
    probe->~ProbeFilter();
}

TEST_F(ObjectModel, FinishCreateNeedsAnActivationNotASuccessfulInit) {
    EXPECT_EQ(create<ProbeFilter>(), nullptr);
    EXPECT_EQ(ProbeFilter::destroyed, 1);
    EXPECT_TRUE(hostEmu.log.calls().empty());

    hostEmu.withhold("LW Scene Info");
    ASSERT_EQ(activateFilter(), 0);
    auto* probe = create<ProbeFilter>();
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(ProbeFilter::destroyed, 1);
    EXPECT_EQ(probe->afterCreates, 1);
    EXPECT_EQ(hostEmu.lookups(), (std::vector<std::string>{"Info Messages", "LW Scene Info"}));
    EXPECT_EQ(velorastin::sceneContext.currentServer, probe);
    filterTable.destroy(probe);
    filterTable.destroy(nullptr);
    EXPECT_EQ(ProbeFilter::destroyed, 2);
}

TEST_F(ObjectModel, LoadAndSaveAnswerZeroAndChangeNothing) {
    ASSERT_EQ(activateFilter(), 0);
    auto* filter = create<DisplayEncodeFilter>();
    auto* failing = create<ProbeFilter>();  // its load and save fail
    ASSERT_TRUE(filter && failing);
    filterTable.describe(filter);
    unsigned char before[sizeof(DisplayEncodeFilter)];
    std::memcpy(before, static_cast<void*>(filter), sizeof before);
    int state = 0;
    EXPECT_EQ(filterTable.load(filter, &state), 0);
    EXPECT_EQ(filterTable.save(filter, &state), 0);
    EXPECT_EQ(std::memcmp(before, static_cast<void*>(filter), sizeof before), 0);
    int other = 0;
    EXPECT_EQ(filterTable.load(failing, &state), 0);
    EXPECT_EQ(filterTable.save(failing, &other), 0);
    EXPECT_EQ(failing->states, (std::vector<void*>{&state, &other}));  // the entries do reach the operations
    filterTable.destroy(filter);
    filterTable.destroy(failing);
}
