#include "tests/loaded/LoadedModule.h"

using testing_support::loadModule;

TEST(ModuleLoad, DescriptorAndTable) {
    auto module = loadModule();
    ASSERT_TRUE(module);
    EXPECT_EQ(module->descriptor().sync, 0x04121994u);
    EXPECT_EQ(module->rows().size(), 2u);
}
