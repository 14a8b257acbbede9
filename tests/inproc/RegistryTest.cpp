// The server table: registration by pointer pair, capacity, and the rows the
// module's prototypes leave after load.
#include <cstring>

#include "module/ServerTable.h"
#include "servers/LinearizeShader.h"
#include "shader/ShaderServer.h"
#include "tests/inproc/InProcess.h"

using velorastin::ServerTable;

namespace {

int32_t activateA(int32_t, host::GlobalLookup, void*, void*) { return 0; }
int32_t activateB(int32_t, host::GlobalLookup, void*, void*) { return 0; }

bool isEndingRow(const host::ServerRecord& row) { return !row.className && !row.serverName && !row.activate; }

// Arrays of their own, so that no two share an address with a literal.
char shaderName[] = "VelorastinShader";
char shaderNameCopy[] = "VelorastinShader";
char filterNameA[] = "FlaggedFilter";
char filterNameB[] = "PlainFilter";
char shaderNameA[] = "FlaggedShader";

} // namespace

TEST(ServerTable, RegistersPairsByPointer) {
    ServerTable table{};
    EXPECT_TRUE(isEndingRow(table.rows[0]));
    EXPECT_EQ(table.add(host::kShaderHandlerClass, shaderName, activateA), 1);
    // The same two pointers again: refused, the row keeps its activation.
    EXPECT_EQ(table.add(host::kShaderHandlerClass, shaderName, activateB), 0);
    ASSERT_EQ(table.count, 1);
    EXPECT_EQ(table.rows[0].activate, &activateA);
    EXPECT_TRUE(isEndingRow(table.rows[1]));
    // Equal text at another address is another name.
    EXPECT_EQ(table.add(host::kShaderHandlerClass, shaderNameCopy, activateB), 1);
    ASSERT_EQ(table.count, 2);
    EXPECT_EQ(table.rows[1].serverName, shaderNameCopy);
    EXPECT_TRUE(isEndingRow(table.rows[2]));
}

TEST(ServerTable, FullTableRefusesTheNextServer) {
    static char names[256][4];  // 256 distinct name pointers
    ServerTable table{};
    for (int i = 0; i < 256; ++i) ASSERT_EQ(table.add(host::kImageFilterHandlerClass, names[i], activateA), 1) << i;
    const host::ServerRecord last = table.rows[255];
    EXPECT_EQ(table.add(host::kImageFilterHandlerClass, filterNameA, activateB), 0);
    EXPECT_EQ(table.count, 256);
    EXPECT_EQ(std::memcmp(&table.rows[255], &last, sizeof last), 0);
    EXPECT_TRUE(isEndingRow(table.rows[256]));
}

TEST(ServerTable, ModuleTableAfterLoad) {
    const auto& rows = velorastin::serverTable.rows;
    ASSERT_EQ(velorastin::serverTable.count, 2);
    EXPECT_STREQ(rows[0].className, "ShaderHandler");
    EXPECT_STREQ(rows[0].serverName, "VelorastinShader");
    EXPECT_EQ(rows[0].activate, &velorastin::shaderActivationOf<velorastin::LinearizeShader>);
    EXPECT_STREQ(rows[1].className, "ImageFilterHandler");
    EXPECT_STREQ(rows[1].serverName, "VelorastinFilter");
    EXPECT_EQ(rows[1].activate, &velorastin::filterActivationOf<velorastin::DisplayEncodeFilter>);
    EXPECT_TRUE(isEndingRow(rows[2]));
}

// The prototypes built here register in the module's own table, restored afterwards.
class PrototypeRegistration : public ::testing::Test {
protected:
    void TearDown() override { velorastin::serverTable = saved; }
    ServerTable saved = velorastin::serverTable;
};

TEST_F(PrototypeRegistration, InterfaceRowFollowsItsHandlerRow) {
    const auto& t = velorastin::serverTable;
    {
        inproc::ProbeFilter flagged(filterNameA, 1, activateA);
        ASSERT_EQ(t.count, 4);
        EXPECT_STREQ(t.rows[2].className, "ImageFilterHandler");
        EXPECT_EQ(t.rows[2].activate, &activateA);
        EXPECT_STREQ(t.rows[3].className, "ImageFilterInterface");
        EXPECT_EQ(t.rows[3].serverName, filterNameA);
        EXPECT_EQ(t.rows[3].activate, &velorastin::interfaceActivation);
        EXPECT_TRUE(isEndingRow(t.rows[4]));
        // A duplicate handler pair gets no interface row; flag 0 none either.
        inproc::ProbeFilter duplicate(filterNameA, 1, activateB);
        EXPECT_EQ(t.count, 4);
        inproc::ProbeFilter plain(filterNameB, 0, activateB);
        ASSERT_EQ(t.count, 5);
        EXPECT_EQ(t.rows[4].serverName, filterNameB);
    }
    velorastin::ShaderServer shader(shaderNameA, 7, activateA);
    ASSERT_EQ(t.count, 7);
    EXPECT_STREQ(t.rows[5].className, "ShaderHandler");
    EXPECT_STREQ(t.rows[6].className, "ShaderInterface");
    EXPECT_EQ(t.rows[6].serverName, shaderNameA);
    EXPECT_EQ(t.rows[6].activate, &velorastin::interfaceActivation);
    EXPECT_STREQ(t.rows[2].className, "ImageFilterHandler");  // destroying prototypes removes nothing
}
