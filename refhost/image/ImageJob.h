// One image handed to a filter's process entry: the ImageAccess record, its
// row function over the source planes, setters into a separate output image,
// and a progress monitor. The record's functions carry no user data, so they
// reach the job that is running through ImageJob::current().
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "host/ImageAccess.h"
#include "refhost/host/CallLog.h"
#include "refhost/image/Image.h"
#include "refhost/image/Progress.h"

namespace refhost {

class ImageJob {
public:
    ImageJob(const Image& source, double time);
    ImageJob(const ImageJob&) = delete;
    ImageJob& operator=(const ImageJob&) = delete;
    ~ImageJob();

    // The record for one process call; the job is current while it lives.
    host::ImageAccess& access() { return access_; }
    static ImageJob& current();

    // Pre-fills the output (colour and alpha) with `value`.
    void fillOutput(uint8_t value);

    // Without a monitor the record's monitor pointer is null.
    void setMonitor(bool present) { access_.monitor = present ? &monitor_ : nullptr; }
    // Answer of the monitor's advance: called with the number of rows done.
    std::function<int32_t(int32_t advances)> advanceAnswer;
    ProgressBar* progress = nullptr;   // drawn by begin/advance/finish when set
    bool stopOnInterrupt = false;      // advance answers "stop" after Ctrl-C

    Image output;
    // What the filter did, for checking.
    CallLog log;  // off unless enabled: row, setColour, setAlpha, begin, advance, finish
    std::vector<uint16_t> colourSets, alphaSets;  // per pixel
    int64_t outsideRequests = 0;  // rows or pixels asked for or set outside the image, or bad channel codes
    int32_t begins = 0, advances = 0, finishes = 0;
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

    ImageJob* previous_ = nullptr;
    int32_t width_, height_;
    std::array<std::vector<uint8_t>, 4> planes_;  // red, green, blue, alpha
    std::vector<uint8_t> blankRow_;               // served for rows outside the image
    host::ImageAccess access_{};
    host::ProgressMonitor monitor_{};
};

} // namespace refhost
