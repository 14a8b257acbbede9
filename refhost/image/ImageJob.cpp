#include "refhost/image/ImageJob.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace refhost {

namespace {
ImageJob* currentJob = nullptr;
} // namespace

ImageJob::ImageJob(const Image& source, double time, RowFence fence)
    : output(source.width, source.height, source.hasAlpha), width_(source.width), height_(source.height) {
    const std::size_t pixels = static_cast<std::size_t>(width_ > 0 ? width_ : 0) * (height_ > 0 ? height_ : 0);
    if (fence != RowFence::None) {
        fenced_ = std::make_unique<FencedRows>(width_, height_, 4, fence);
        if (!fenced_->valid()) {
            std::fprintf(stderr, "refhost: cannot map guard-paged rows for a %dx%d image\n", width_, height_);
            std::abort();
        }
        for (int c = 0; c < 4; ++c)
            for (int32_t y = 0; y < height_; ++y)
                for (int32_t x = 0; x < width_; ++x) fenced_->row(c, y)[x] = source.pixel(x, y)[c];
    } else {
        for (int c = 0; c < 4; ++c) {
            planes_[c].resize(pixels);
            for (std::size_t i = 0; i < pixels; ++i) planes_[c][i] = source.rgba[i * 4 + c];
        }
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

// A job may end while a later one lives (a check keeps a call's job to look
// at it after the next call): it leaves the chain wherever it is in it.
ImageJob::~ImageJob() {
    if (currentJob == this) {
        currentJob = previous_;
        return;
    }
    for (ImageJob* job = currentJob; job; job = job->previous_)
        if (job->previous_ == this) {
            job->previous_ = previous_;
            return;
        }
}

host::ImageAccess& ImageJob::access() {
    handedAccess_ = access_;
    handedMonitor_ = monitor_;
    return access_;
}

ImageJob& ImageJob::current() {
    if (!currentJob) {
        std::fprintf(stderr, "refhost: the module called an image function outside a process call\n");
        std::abort();
    }
    return *currentJob;
}

void ImageJob::fillOutput(uint8_t value) { std::fill(output.rgba.begin(), output.rgba.end(), value); }

void ImageJob::announceSize(int32_t width, int32_t height) {
    access_.width = width;
    access_.height = height;
}

bool ImageJob::inside(int32_t x, int32_t y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }

const uint8_t* ImageJob::plane(int index, int32_t row) const {
    if (fenced_) return fenced_->row(index, row);
    if (width_ <= 0) return blankRow_.data();
    return planes_[index].data() + static_cast<std::size_t>(row) * width_;
}

std::optional<ImageJob::SourceChange> ImageJob::sourceChange(const Image& source) const {
    for (int c = 0; c < 4; ++c)
        for (int32_t y = 0; y < height_; ++y) {
            const uint8_t* row = plane(c, y);
            for (int32_t x = 0; x < width_; ++x)
                if (row[x] != source.pixel(x, y)[c]) return SourceChange{host::kChannelRed + c, y, x, source.pixel(x, y)[c], row[x]};
        }
    return std::nullopt;
}

namespace {

template <class Record>
std::optional<ImageJob::RecordChange> firstChange(const char* name, const Record& handed, const Record& now) {
    const auto* a = reinterpret_cast<const uint8_t*>(&handed);
    const auto* b = reinterpret_cast<const uint8_t*>(&now);
    for (std::size_t i = 0; i < sizeof(Record); ++i) {
        if (a[i] == b[i]) continue;
        const std::size_t word = i & ~std::size_t{3};
        uint32_t before, after;
        std::memcpy(&before, a + word, sizeof before);
        std::memcpy(&after, b + word, sizeof after);
        return ImageJob::RecordChange{name, i, before, after};
    }
    return std::nullopt;
}

} // namespace

std::optional<ImageJob::RecordChange> ImageJob::recordChange() const {
    if (auto change = firstChange("ImageAccess", handedAccess_, access_)) return change;
    return firstChange("ProgressMonitor", handedMonitor_, monitor_);
}

long ImageJob::note(const char* name, const char* traceName, std::vector<std::string> args) {
    long index = -1;
    if (trace) index = trace->record(traceName, args);
    if (log.enabled) log.record(name, std::move(args));
    return index;
}

void ImageJob::noteResult(long traceIndex, std::string result) {
    if (trace) trace->setResult(traceIndex, std::move(result));
}

const uint8_t* ImageJob::rowFunction(int32_t channel, int32_t row) {
    ImageJob& job = current();
    if (job.log.enabled || job.trace) job.note("row", "image.row", {formatArg(channel), formatArg(row)});
    if (job.stopped) ++job.callsAfterStop;
    const int index = channel - host::kChannelRed;
    if (index < 0 || index > 3 || row < 0 || row >= job.height_) {
        ++job.outsideRequests;
        return job.blankRow_.data();
    }
    return job.plane(index, row);
}

int32_t ImageJob::setColourFunction(int32_t x, int32_t y, const uint8_t rgb[3]) {
    ImageJob& job = current();
    const long call = job.log.enabled || job.trace
                          ? job.note("setColour", "image.setColour",
                                     {formatArg(x), formatArg(y), formatArg(int32_t{rgb[0]}), formatArg(int32_t{rgb[1]}),
                                      formatArg(int32_t{rgb[2]})})
                          : -1;
    if (job.stopped) ++job.callsAfterStop;
    if (!job.inside(x, y)) {
        ++job.outsideRequests;
        job.noteResult(call, "0");
        return 0;
    }
    uint8_t* p = job.output.pixel(x, y);
    p[0] = rgb[0];
    p[1] = rgb[1];
    p[2] = rgb[2];
    ++job.colourSets[static_cast<std::size_t>(y) * job.width_ + x];
    job.noteResult(call, "1");
    return 1;
}

int32_t ImageJob::setAlphaFunction(int32_t x, int32_t y, uint8_t alpha) {
    ImageJob& job = current();
    const long call = job.log.enabled || job.trace
                          ? job.note("setAlpha", "image.setAlpha", {formatArg(x), formatArg(y), formatArg(int32_t{alpha})})
                          : -1;
    if (job.stopped) ++job.callsAfterStop;
    if (!job.inside(x, y)) {
        ++job.outsideRequests;
        job.noteResult(call, "0");
        return 0;
    }
    job.output.pixel(x, y)[3] = alpha;
    ++job.alphaSets[static_cast<std::size_t>(y) * job.width_ + x];
    job.noteResult(call, "1");
    return 1;
}

int32_t ImageJob::beginFunction(void* context, int32_t total) {
    auto& job = *static_cast<ImageJob*>(context);
    const long call = job.note("begin", "monitor.begin", {formatArg(total)});
    if (job.begins++ == 0) {
        job.advancesBeforeBegin = job.advances;
        job.beginTotal = total;
    }
    if (job.progress) job.progress->begin(total);
    job.noteResult(call, "0");
    return 0;
}

int32_t ImageJob::advanceFunction(void* context, int32_t amount) {
    auto& job = *static_cast<ImageJob*>(context);
    const long call = job.note("advance", "monitor.advance", {formatArg(amount)});
    ++job.advances;
    job.advancedSteps += amount;
    if (job.stopped) ++job.callsAfterStop;
    if (job.progress) job.progress->advance(amount);
    int32_t answer = job.advanceAnswer ? job.advanceAnswer(job.advances) : 0;
    if (job.stopOnInterrupt && interruptRequested()) answer = 1;
    if (answer) job.stopped = true;
    job.noteResult(call, formatArg(answer));
    return answer;
}

int32_t ImageJob::finishFunction(void* context) {
    auto& job = *static_cast<ImageJob*>(context);
    const long call = job.note("finish", "monitor.finish", {});
    ++job.finishes;
    if (job.stopped) ++job.callsAfterStop;
    if (job.progress) job.progress->finish();
    job.noteResult(call, "0");
    return 0;
}

} // namespace refhost
