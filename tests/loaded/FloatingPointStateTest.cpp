// The host's floating-point settings and heap count, and what the drivers do
// with a module that leaves other settings behind or writes past a handler table.
#include <cstdlib>
#include <cstring>

#include "refhost/host/Drivers.h"
#include "refhost/host/FloatingPointState.h"
#include "refhost/image/ImageJob.h"
#include "refhost/platform/Platform.h"
#include "tests/loaded/LoadedModule.h"

namespace {

using namespace refhost;

TEST(FloatingPointState, ReadsBackWhatWasSetAndRestoresTheDefaults) {
    EXPECT_TRUE(currentFloatingPoint().sameSettings(FloatingPointState{}));
    setFloatingPoint({0x027F, 0x9FC0});
    EXPECT_EQ(x87ControlWord(), 0x027F);
    EXPECT_EQ(mxcsr() & ~kMxcsrExceptionFlags, 0x9FC0u);
    const FloatingPointState left = restoreDefaultFloatingPoint();
    EXPECT_EQ(left.x87Control, 0x027F);
    EXPECT_EQ(left.mxcsr & ~kMxcsrExceptionFlags, 0x9FC0u);
    EXPECT_EQ(x87ControlWord(), kDefaultX87Control);
    EXPECT_EQ(mxcsr() & ~kMxcsrExceptionFlags, kDefaultMxcsr);
    // What the call left is noted, once, for a check that looks later.
    takeSettingsLeft();
    {
        const DefaultFloatingPointAfter restore("create");
        setX87ControlWord(0x007F);
    }
    EXPECT_EQ(x87ControlWord(), kDefaultX87Control);
    const std::optional<SettingsLeft> noted = takeSettingsLeft();
    ASSERT_TRUE(noted);
    EXPECT_EQ(noted->entry, "create");
    EXPECT_EQ(settingsChange(noted->set, noted->left).rfind("the x87 control word 0x007f (24-bit precision", 0), 0u);
    EXPECT_FALSE(takeSettingsLeft());
}

TEST(FloatingPointState, ExceptionFlagsAreNoSettings) {
    const FloatingPointState host{};
    EXPECT_TRUE(host.sameSettings({kDefaultX87Control, kDefaultMxcsr | 0x20}));  // precision flag raised
    EXPECT_EQ(settingsChange(host, {kDefaultX87Control, kDefaultMxcsr | 0x3F}), "");
    EXPECT_FALSE(host.sameSettings({kDefaultX87Control, 0x9F80}));
    EXPECT_FALSE(host.sameSettings({0x0F7F, kDefaultMxcsr}));
}

TEST(FloatingPointState, NamesWhatChanged) {
    EXPECT_EQ(x87ControlText(0x007F), "0x007f (24-bit precision, rounding to nearest)");
    EXPECT_EQ(x87ControlText(0x0F7E), "0x0f7e (64-bit precision, rounding toward zero, invalid exceptions unmasked)");
    EXPECT_EQ(mxcsrText(0x7FA0), "0x7f80 (rounding toward zero)");
    EXPECT_EQ(mxcsrText(0x9FC0), "0x9fc0 (rounding to nearest, flush-to-zero, denormals-are-zero)");
    EXPECT_EQ(settingsChange({}, {0x027F, 0x1FA0}),
              "the x87 control word 0x027f (53-bit precision, rounding to nearest) where the host set 0x037f "
              "(64-bit precision, rounding to nearest)");
    EXPECT_EQ(settingsChange({0x037F, 0x9FC0}, {0x037F, 0x1F80}),
              "MXCSR 0x1f80 (rounding to nearest) where the host set 0x9fc0 (rounding to nearest, flush-to-zero, "
              "denormals-are-zero)");
}

// The defaults are back after the entry, for refhost's own code.
TEST(HostDrivers, PutTheDefaultsBackAfterAnEntryThatLeftOthers) {
    auto module = testing_support::loadModule(testing_support::fixturePath("leaves_fp_settings"));
    ASSERT_TRUE(module);
    Host host;
    FilterDriver filter(*module->find(host::kImageFilterHandlerClass));
    ASSERT_EQ(filter.bindForUse(), "");
    host::Instance instance = filter.create();
    ASSERT_TRUE(instance);
    Image source(3, 2, true);
    ImageJob job(source, 0.5);
    filter.process(instance, job.access());
    EXPECT_TRUE(currentFloatingPoint().sameSettings(FloatingPointState{}))
        << settingsChange(FloatingPointState{}, currentFloatingPoint());
    filter.destroy(instance);
}

TEST(HostDrivers, RefuseARowWhoseActivationWritesPastTheTable) {
    auto module = testing_support::loadModule(testing_support::fixturePath("writes_past_table"));
    ASSERT_TRUE(module);
    Host host;
    ShaderDriver shader(*module->find(host::kShaderHandlerClass));
    const std::string problem = shader.bindForUse();
    EXPECT_NE(problem.find("\"TinyShader\" wrote past the end of its 44-byte handler table when activated: the host's "
                           "memory at offset 44 (now 0x"),
              std::string::npos)
        << problem;
    EXPECT_EQ(shader.writtenGuards(), std::vector<std::size_t>{44});
    EXPECT_EQ(shader.emptyEntries(), "");
}

TEST(HostDrivers, HandTheBuiltModulesTablesOutWithTheirGuardsIntact) {
    auto module = testing_support::loadModule();
    ASSERT_TRUE(module);
    Host host;
    ShaderDriver shader(*module->find(host::kShaderHandlerClass));
    FilterDriver filter(*module->find(host::kImageFilterHandlerClass));
    EXPECT_EQ(shader.bindForUse(), "");
    EXPECT_EQ(filter.bindForUse(), "");
    EXPECT_TRUE(shader.writtenGuards().empty());
    EXPECT_TRUE(filter.writtenGuards().empty());
}

// A block above glibc's mmap threshold is mapped on its own: it counts too.
TEST(HeapInUse, CountsLargeBlocksToo) {
    std::string whyNot;
    const std::optional<std::size_t> before = platform::heapInUse(whyNot);
    if (!before) GTEST_SKIP() << whyNot;
    void* block = std::malloc(256 * 1024);
    ASSERT_TRUE(block);
    std::memset(block, 1, 16);
    const std::optional<std::size_t> after = platform::heapInUse(whyNot);
    ASSERT_TRUE(after);
    EXPECT_GE(*after, *before + 256 * 1024);
    std::free(block);
    EXPECT_LT(*platform::heapInUse(whyNot), *before + 4096);
}

} // namespace
