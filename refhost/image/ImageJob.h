// One image handed to a filter's process entry: the ImageAccess record, its
// row function over the source planes, setters into a separate output image,
// and a progress monitor. The record's functions carry no user data, so they
// reach the job that is running through ImageJob::current().
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "host/ImageAccess.h"
#include "refhost/host/CallLog.h"
#include "refhost/image/FencedRows.h"
#include "refhost/image/Image.h"
#include "refhost/image/Progress.h"

namespace refhost {

class ImageJob {
public:
    // With a fence, the source rows are handed out from guard-paged buffers
    // (see FencedRows); fencing costs pages per row, so it is for small images.
    ImageJob(const Image& source, double time, RowFence fence = RowFence::None);
    ImageJob(const ImageJob&) = delete;
    ImageJob& operator=(const ImageJob&) = delete;
    ~ImageJob();

    // The record for one process call; the job is current while it lives.
    // What it holds when handed out is kept, for recordChange.
    host::ImageAccess& access();
    static ImageJob& current();

    // Pre-fills the output (colour and alpha) with `value`.
    void fillOutput(uint8_t value);
    // Announces a size other than the source's in the record (negative sizes,
    // for instance); rows and pixels outside the source stay outside.
    void announceSize(int32_t width, int32_t height);

    // Without a monitor the record's monitor pointer is null.
    void setMonitor(bool present) { access_.monitor = present ? &monitor_ : nullptr; }
    // Answer of the monitor's advance: called with the number of rows done.
    std::function<int32_t(int32_t advances)> advanceAnswer;
    ProgressBar* progress = nullptr;   // drawn by begin/advance/finish when set
    bool stopOnInterrupt = false;      // advance answers "stop" after Ctrl-C

    // The first source byte that differs from `source` now (the filter wrote
    // into a row it was handed), if any.
    struct SourceChange {
        int32_t channel, row, column;
        uint8_t before, after;
    };
    std::optional<SourceChange> sourceChange(const Image& source) const;

    // The first byte of the host's records, the ImageAccess record and its
    // progress monitor, that differs now from what access() handed out, if
    // any: they are the host's, and the filter only reads them.
    struct RecordChange {
        const char* record;  // "ImageAccess", "ProgressMonitor"
        std::size_t offset;
        uint32_t before, after;  // the aligned 32-bit word that holds the byte
    };
    std::optional<RecordChange> recordChange() const;

    Image output;
    // What the filter did, for checking.
    CallLog log;  // off unless enabled: row, setColour, setAlpha, begin, advance, finish
    // When set, every call is also recorded here with its result, as the
    // module's calls of host functions in a trace ("image.row", "monitor.begin", ...).
    CallLog* trace = nullptr;
    std::vector<uint16_t> colourSets, alphaSets;  // per pixel
    int64_t outsideRequests = 0;  // rows or pixels asked for or set outside the image, or bad channel codes
    int32_t begins = 0, advances = 0, finishes = 0;
    int32_t advancesBeforeBegin = -1;  // advances seen when begin was first called; -1 without a begin
    int64_t beginTotal = 0;            // the total given to the first begin
    int64_t advancedSteps = 0;         // the sum of the amounts given to advance
    bool stopped = false;         // the monitor answered "stop" at least once
    int64_t callsAfterStop = 0;   // row or setter calls after the stop answer

private:
    static const uint8_t* rowFunction(int32_t channel, int32_t row);
    static int32_t setColourFunction(int32_t x, int32_t y, const uint8_t rgb[3]);
    static int32_t setAlphaFunction(int32_t x, int32_t y, uint8_t alpha);
    static int32_t beginFunction(void* context, int32_t total);
    static int32_t advanceFunction(void* context, int32_t amount);
    static int32_t finishFunction(void* context);
    bool inside(int32_t x, int32_t y) const;
    const uint8_t* plane(int index, int32_t row) const;
    // Records one call in `log` (when on) and in `trace` (when set).
    long note(const char* name, const char* traceName, std::vector<std::string> args);
    void noteResult(long traceIndex, std::string result);

    ImageJob* previous_ = nullptr;
    int32_t width_, height_;
    std::array<std::vector<uint8_t>, 4> planes_;  // red, green, blue, alpha; empty when fenced
    std::unique_ptr<FencedRows> fenced_;
    std::vector<uint8_t> blankRow_;               // served for rows outside the image
    host::ImageAccess access_{};
    host::ProgressMonitor monitor_{};
    host::ImageAccess handedAccess_{};
    host::ProgressMonitor handedMonitor_{};
};

} // namespace refhost
