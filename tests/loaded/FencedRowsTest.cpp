// Guard-paged image rows: a touch before or past a row faults, and the fault
// is named by channel, row and offset.
#include <gtest/gtest.h>

#include <string>

#include "refhost/image/FencedRows.h"
#include "refhost/image/ImageJob.h"

namespace {

using refhost::FencedRows;
using refhost::RowFence;

std::string faultAt(const void* address) {
    char text[256];
    return FencedRows::describeFault(address, text, sizeof text) ? text : "not a fence";
}

TEST(FencedRows, NameTheRowAndOffsetOfATouchOutsideARow) {
    {
        const FencedRows after(5, 3, 4, RowFence::AfterRow);
        ASSERT_TRUE(after.valid());
        EXPECT_EQ(faultAt(after.row(0, 0) + 5), "the module touched channel 32 (red), row 0, offset 5, 1 byte past the end of its 5 bytes");
        EXPECT_EQ(faultAt(after.row(3, 2) + 8), "the module touched channel 35 (alpha), row 2, offset 8, 4 bytes past the end of its 5 bytes");
        EXPECT_EQ(faultAt(after.row(1, 1)), "not a fence");      // the row's own bytes
        EXPECT_EQ(faultAt(after.row(1, 1) - 1), "not a fence");  // readable in this layout
    }
    {
        const FencedRows before(5, 3, 4, RowFence::BeforeRow);
        EXPECT_EQ(faultAt(before.row(0, 0) - 1), "the module touched channel 32 (red), row 0, offset -1, before the row's first byte");
        EXPECT_EQ(faultAt(before.row(2, 1) - 2), "the module touched channel 34 (blue), row 1, offset -2, before the row's first byte");
    }
    {
        const FencedRows empty(0, 2, 4, RowFence::BeforeRow);  // a zero-width row is a guard page itself
        EXPECT_EQ(faultAt(empty.row(1, 1)), "the module touched channel 33 (green), row 1, offset 0, 1 byte past the end of its 0 bytes");
    }
    int local = 0;
    EXPECT_EQ(faultAt(&local), "not a fence");
}

TEST(FencedRowsDeathTest, ATouchPastTheEndOrBeforeTheStartFaults) {
    const FencedRows after(7, 2, 4, RowFence::AfterRow);
    volatile const uint8_t* pastEnd = after.row(0, 1) + 7;
    EXPECT_DEATH((void)*pastEnd, "");
    const FencedRows before(7, 2, 4, RowFence::BeforeRow);
    volatile const uint8_t* beforeStart = before.row(2, 0) - 1;
    EXPECT_DEATH((void)*beforeStart, "");
}

TEST(ImageJob, TellsTheFirstSourceByteAFilterChanged) {
    refhost::Image source(4, 2, true);
    for (std::size_t i = 0; i < source.rgba.size(); ++i) source.rgba[i] = static_cast<uint8_t>(i);
    refhost::ImageJob job(source, 0.0, RowFence::AfterRow);
    EXPECT_FALSE(job.sourceChange(source));
    auto* green = const_cast<uint8_t*>(job.access().row(host::kChannelGreen, 1));
    green[2] = 0xEE;
    const auto change = job.sourceChange(source);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->channel, host::kChannelGreen);
    EXPECT_EQ(change->row, 1);
    EXPECT_EQ(change->column, 2);
    EXPECT_EQ(change->before, source.pixel(2, 1)[1]);
    EXPECT_EQ(change->after, 0xEE);
}

} // namespace
