// The record a host hands to an image filter's process entry, and its progress monitor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

// Members of the host records align to at most 4 bytes, as in the 32-bit
// interface, so a double does not pad a record to a multiple of 8 on Windows.
#pragma pack(push, 4)

// Channel codes for ImageAccess::row.
inline constexpr int32_t kChannelRed = 32;
inline constexpr int32_t kChannelGreen = 33;
inline constexpr int32_t kChannelBlue = 34;
inline constexpr int32_t kChannelAlpha = 35;

struct ProgressMonitor {
    void* context;                                    // handed back as the first argument of each call
    int32_t (*begin)(void* context, int32_t total);   // announces the number of steps; result ignored
    int32_t (*advance)(void* context, int32_t amount); // non-zero: the filter is to stop
    int32_t (*finish)(void* context);                 // the work is done; result ignored
};
static_assert(sizeof(ProgressMonitor) == 16);
static_assert(offsetof(ProgressMonitor, context) == 0);
static_assert(offsetof(ProgressMonitor, begin) == 4);
static_assert(offsetof(ProgressMonitor, advance) == 8);
static_assert(offsetof(ProgressMonitor, finish) == 12);

// Valid only during one process call; every function is the host's and reaches
// its own state, not the record.
struct ImageAccess {
    int32_t width;                 // columns 0 .. width-1
    int32_t height;                // rows 0 .. height-1
    uint32_t hostReserved8[2];
    double time;                   // time of the frame being filtered
    uint32_t hostReserved24[2];
    // Row `row` of one source plane: `width` bytes, column 0 first.
    const uint8_t* (*row)(int32_t channel, int32_t row);
    void* hostReserved36;
    int32_t (*setColour)(int32_t column, int32_t row, const uint8_t rgb[3]);
    int32_t (*setAlpha)(int32_t column, int32_t row, uint8_t alpha);
    ProgressMonitor* monitor;      // may be null
};
static_assert(sizeof(ImageAccess) == 52);
static_assert(offsetof(ImageAccess, width) == 0);
static_assert(offsetof(ImageAccess, height) == 4);
static_assert(offsetof(ImageAccess, time) == 16);
static_assert(offsetof(ImageAccess, row) == 32);
static_assert(offsetof(ImageAccess, setColour) == 40);
static_assert(offsetof(ImageAccess, setAlpha) == 44);
static_assert(offsetof(ImageAccess, monitor) == 48);

#pragma pack(pop)

} // namespace host
