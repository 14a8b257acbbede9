// Image rows in buffers fenced by inaccessible guard pages, so that a filter
// that touches a byte before or past a row faults at once instead of reading
// a neighbour's bytes. Each row lies against one of its guard pages: against
// the page after it (a byte past the row's end faults) or against the page
// before it (a byte before its start faults); a check runs both layouts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace refhost {

enum class RowFence {
    None,       // rows in plain memory
    AfterRow,   // the row's last byte is followed by a guard page
    BeforeRow,  // the row's first byte is preceded by a guard page
};

class FencedRows {
public:
    // `planes` planes of `height` rows of `width` bytes, zero-filled. Negative
    // sizes count as 0. A zero-width row is a pointer at a guard page.
    FencedRows(int32_t width, int32_t height, int32_t planes, RowFence fence);
    FencedRows(const FencedRows&) = delete;
    FencedRows& operator=(const FencedRows&) = delete;
    ~FencedRows();

    bool valid() const { return base_ != nullptr; }  // false when the pages could not be mapped
    uint8_t* row(int32_t plane, int32_t y) const;

    // Describes `address` when it lies in a guard page of the rows that live
    // now: which plane, row and offset from the row's first byte it is.
    // Async-signal-safe: called from a fault handler. Writes a terminated text
    // of at most `size` bytes and returns true, or returns false for an
    // address outside every fence.
    static bool describeFault(const void* address, char* out, std::size_t size);

private:
    int32_t width_, height_, planes_;
    RowFence fence_;
    std::size_t page_, dataPages_, slotBytes_, mappedBytes_;
    uint8_t* base_ = nullptr;
};

} // namespace refhost
