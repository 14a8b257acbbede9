#include "refhost/image/ImageJob.h"

#include <cstdio>
#include <cstdlib>

namespace refhost {

namespace {
ImageJob* currentJob = nullptr;
} // namespace

ImageJob::ImageJob(const Image& source, double time)
    : output(source.width, source.height, source.hasAlpha), width_(source.width), height_(source.height) {
    const std::size_t pixels = static_cast<std::size_t>(width_ > 0 ? width_ : 0) * (height_ > 0 ? height_ : 0);
    for (int c = 0; c < 4; ++c) {
        planes_[c].resize(pixels);
        for (std::size_t i = 0; i < pixels; ++i) planes_[c][i] = source.rgba[i * 4 + c];
    }
    blankRow_.assign(static_cast<std::size_t>(width_ > 0 ? width_ : 0) + 1, 0);
    colourSets.assign(pixels, 0);
    alphaSets.assign(pixels, 0);
    log.enabled = false;

    access_.width = width_;
    access_.height = height_;
    access_.time = time;
    access_.row = rowFunction;
    access_.setColour = setColourFunction;
    access_.setAlpha = setAlphaFunction;
    monitor_.context = this;
    monitor_.begin = beginFunction;
    monitor_.advance = advanceFunction;
    monitor_.finish = finishFunction;
    access_.monitor = &monitor_;

    previous_ = currentJob;
    currentJob = this;
}

ImageJob::~ImageJob() {
    if (currentJob == this) currentJob = previous_;
}

ImageJob& ImageJob::current() {
    if (!currentJob) {
        std::fprintf(stderr, "refhost: the module called an image function outside a process call\n");
        std::abort();
    }
    return *currentJob;
}

void ImageJob::fillOutput(uint8_t value) { std::fill(output.rgba.begin(), output.rgba.end(), value); }

bool ImageJob::inside(int32_t x, int32_t y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }

const uint8_t* ImageJob::rowFunction(int32_t channel, int32_t row) {
    ImageJob& job = current();
    job.log.record("row", {formatArg(channel), formatArg(row)});
    if (job.stopped) ++job.callsAfterStop;
    const int index = channel - host::kChannelRed;
    if (index < 0 || index > 3 || row < 0 || row >= job.height_) {
        ++job.outsideRequests;
        return job.blankRow_.data();
    }
    if (job.width_ <= 0) return job.blankRow_.data();
    return job.planes_[index].data() + static_cast<std::size_t>(row) * job.width_;
}

int32_t ImageJob::setColourFunction(int32_t x, int32_t y, const uint8_t rgb[3]) {
    ImageJob& job = current();
    if (job.log.enabled)
        job.log.record("setColour", {formatArg(x), formatArg(y), formatArg(int32_t{rgb[0]}), formatArg(int32_t{rgb[1]}),
                                     formatArg(int32_t{rgb[2]})});
    if (job.stopped) ++job.callsAfterStop;
    if (!job.inside(x, y)) {
        ++job.outsideRequests;
        return 0;
    }
    uint8_t* p = job.output.pixel(x, y);
    p[0] = rgb[0];
    p[1] = rgb[1];
    p[2] = rgb[2];
    ++job.colourSets[static_cast<std::size_t>(y) * job.width_ + x];
    return 1;
}

int32_t ImageJob::setAlphaFunction(int32_t x, int32_t y, uint8_t alpha) {
    ImageJob& job = current();
    if (job.log.enabled) job.log.record("setAlpha", {formatArg(x), formatArg(y), formatArg(int32_t{alpha})});
    if (job.stopped) ++job.callsAfterStop;
    if (!job.inside(x, y)) {
        ++job.outsideRequests;
        return 0;
    }
    job.output.pixel(x, y)[3] = alpha;
    ++job.alphaSets[static_cast<std::size_t>(y) * job.width_ + x];
    return 1;
}

int32_t ImageJob::beginFunction(void* context, int32_t total) {
    auto& job = *static_cast<ImageJob*>(context);
    job.log.record("begin", {formatArg(total)});
    ++job.begins;
    if (job.progress) job.progress->begin(total);
    return 0;
}

int32_t ImageJob::advanceFunction(void* context, int32_t amount) {
    auto& job = *static_cast<ImageJob*>(context);
    job.log.record("advance", {formatArg(amount)});
    ++job.advances;
    if (job.stopped) ++job.callsAfterStop;
    if (job.progress) job.progress->advance(amount);
    int32_t answer = job.advanceAnswer ? job.advanceAnswer(job.advances) : 0;
    if (job.stopOnInterrupt && interruptRequested()) answer = 1;
    if (answer) job.stopped = true;
    return answer;
}

int32_t ImageJob::finishFunction(void* context) {
    auto& job = *static_cast<ImageJob*>(context);
    job.log.record("finish", {});
    ++job.finishes;
    if (job.stopped) ++job.callsAfterStop;
    if (job.progress) job.progress->finish();
    return 0;
}

} // namespace refhost
