// Image filters: every pixel of images of awkward sizes set exactly once from
// rows fenced by guard pages, the source rows left as they were, a stop
// through the progress monitor obeyed at once whatever nonzero answer asks
// for it, nothing set for negative sizes, a monitor begun once with a total
// that covers the advances, and the documented bytes for the filters this
// host knows.
#include <algorithm>
#include <span>

#include "refhost/check/Check.h"
#include "refhost/check/KnownServers.h"
#include "refhost/image/ImageJob.h"

namespace refhost::check {

namespace {

constexpr uint8_t kOutputSentinel = 0xA5;  // what an output pixel holds before the filter sets it
constexpr double kFrameTime = 0.5;

// The documented output byte of a known filter for one colour byte; null for others.
using FilterReference = uint8_t (*)(uint8_t colour);

FilterReference filterReference(const std::string& serverName) {
    return serverName == kDisplayEncodeFilterName ? displayEncode : nullptr;
}

// The field of the host's record that holds byte `offset`, named with its own offset.
std::string recordFieldAt(const std::string& record, std::size_t offset) {
    static const RecordField access[] = {
        {offsetof(host::ImageAccess, width), "width"},
        {offsetof(host::ImageAccess, height), "height"},
        {offsetof(host::ImageAccess, hostReserved8), "host-reserved words"},
        {offsetof(host::ImageAccess, time), "time"},
        {offsetof(host::ImageAccess, hostReserved24), "host-reserved words"},
        {offsetof(host::ImageAccess, row), "row function"},
        {offsetof(host::ImageAccess, hostReserved36), "host-reserved word"},
        {offsetof(host::ImageAccess, setColour), "setColour function"},
        {offsetof(host::ImageAccess, setAlpha), "setAlpha function"},
        {offsetof(host::ImageAccess, monitor), "monitor"},
    };
    static const RecordField monitor[] = {
        {offsetof(host::ProgressMonitor, context), "context"},
        {offsetof(host::ProgressMonitor, begin), "begin function"},
        {offsetof(host::ProgressMonitor, advance), "advance function"},
        {offsetof(host::ProgressMonitor, finish), "finish function"},
    };
    const RecordField& field = fieldAt(record == "ImageAccess" ? std::span<const RecordField>(access) : monitor, offset);
    return std::string(field.name) + " at offset " + std::to_string(field.offset);
}

// The host's records of the process call `what` are as they were handed
// over: a filter reads them and changes nothing of them.
void expectRecordsKept(const ImageJob& job, const std::string& what) {
    if (const auto change = job.recordChange())
        fail(what + ": the host's " + change->record + " record, its " + recordFieldAt(change->record, change->offset) +
                 ", changed during the process call (the record is the host's: a filter only reads it)",
             "unchanged " + hex(change->before), hex(change->after));
}

std::string sizeText(const Image& image) { return std::to_string(image.width) + "x" + std::to_string(image.height); }

std::string pixelText(int32_t x, int32_t y) { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

void expectEverySetOnce(const ImageJob& job, const Image& source, const std::string& what) {
    if (job.outsideRequests)
        fail(what + ": requests outside the " + sizeText(source) + " image (rows, pixels or channel codes)", "none",
             decimal(static_cast<uint64_t>(job.outsideRequests)));
    for (int32_t y = 0; y < source.height; ++y) {
        for (int32_t x = 0; x < source.width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * source.width + x;
            if (job.colourSets[i] != 1)
                fail(what + ": colour of pixel " + pixelText(x, y), "set once", "set " + std::to_string(job.colourSets[i]) + " times");
            if (job.alphaSets[i] != 1)
                fail(what + ": alpha of pixel " + pixelText(x, y), "set once", "set " + std::to_string(job.alphaSets[i]) + " times");
        }
    }
}

void expectReference(FilterReference reference, const Image& source, const Image& output, const std::string& what) {
    static const char* const channels[] = {"red", "green", "blue", "alpha"};
    for (int32_t y = 0; y < source.height; ++y) {
        for (int32_t x = 0; x < source.width; ++x) {
            for (int c = 0; c < 4; ++c) {
                const uint8_t in = source.pixel(x, y)[c];
                const uint8_t expected = c == 3 ? in : reference(in);
                const uint8_t seen = output.pixel(x, y)[c];
                if (seen != expected)
                    fail(what + ": " + channels[c] + " of pixel " + pixelText(x, y) + " from " + std::to_string(in),
                         std::to_string(expected), std::to_string(seen));
            }
        }
    }
}

void checkSizes(FilterDriver& filter, host::Instance instance, uint32_t seed) {
    struct Size {
        int32_t width, height;
    };
    // Single pixels, single rows and columns, odd widths, one wider than 4096, and empty images.
    constexpr Size sizes[] = {{1, 1}, {1, 7}, {7, 1}, {3, 5}, {17, 4}, {255, 3}, {4097, 2}, {0, 5}, {5, 0}, {0, 0}};
    std::mt19937 random(seed);
    // Each call's records and rows are kept through the next call, and looked at after it.
    FilterRun previous;
    auto run = [&](const Image& source, const std::string& what, bool withMonitor, RowFence fence) {
        FilterRun latest = processFully(filter, instance, source, what, withMonitor, fence);
        if (previous.job) expectLeftAlone(previous, what);
        previous = std::move(latest);
    };
    for (const Size& size : sizes) {
        const Image source = randomImage(size.width, size.height, random);
        run(source, sizeText(source) + ", rows fenced after their end", true, RowFence::AfterRow);
        run(source, sizeText(source) + ", rows fenced before their start", true, RowFence::BeforeRow);
    }
    const Image source = randomImage(9, 4, random);
    run(source, sizeText(source) + " without a progress monitor", false, RowFence::AfterRow);
}

// Widths and heights below zero: the filter may ask for rows when only the
// width is negative, but sets no pixel and crashes on nothing, whatever the
// monitor answers.
void checkNegativeSizes(FilterDriver& filter, host::Instance instance) {
    struct Size {
        int32_t width, height;
    };
    constexpr Size sizes[] = {{-1, 3}, {-5, 3}, {3, -1}, {3, -5}, {-1, -1}, {-5, -5}};
    for (const Size& size : sizes) {
        for (const int32_t stopAt : {0, 1, 2, 3}) {
            // The rows a negative width still has are the source's, of no bytes.
            const Image source(0, size.height > 0 ? size.height : 0);
            ImageJob job(source, kFrameTime, RowFence::AfterRow);
            job.announceSize(size.width, size.height);
            job.advanceAnswer = [stopAt](int32_t advances) { return stopAt && advances >= stopAt ? 1 : 0; };
            const std::string what = std::to_string(size.width) + "x" + std::to_string(size.height) +
                                     (stopAt ? ", the monitor answering stop at advance " + std::to_string(stopAt)
                                             : ", the monitor never answering stop");
            stage(what + ": process");
            filter.process(instance, job.access());
            expectRecordsKept(job, what);
            if (job.outsideRequests)
                fail(what, "no pixel set and no row outside the image asked for",
                     decimal(static_cast<uint64_t>(job.outsideRequests)) + " such calls");
            if (job.begins > 1) fail(what + ": the progress monitor", "begin at most once", "begin " + std::to_string(job.begins) + " times");
        }
    }
}

// A stop answered at every advance in turn, by each of several nonzero
// answers: nothing is read or written after it, finish is not called, and a
// full run on the same instance afterwards gives what a fresh instance gives.
void checkAbort(FilterDriver& filter, uint32_t seed) {
    std::mt19937 random(seed);
    const Image source = randomImage(5, 8, random);
    host::Instance fresh = createInstance(filter, "a fresh instance");
    const FilterRun full = processFully(filter, fresh, source, "a full run of a fresh instance");
    filter.destroy(fresh);
    if (full.advances == 0) {
        // Advance's answer is a host's only way to stop a filter: a user who
        // cancels a render waits for the whole image.
        warn("a full run of " + sizeText(source) + " never called the progress monitor's advance, whose answer is "
             "how a host stops a filter: a host cannot stop this one");
        return;
    }

    host::Instance instance = createInstance(filter, "the instance to stop");
    // Any nonzero answer asks for the stop, not only 1.
    constexpr int32_t kStopAnswers[] = {1, -1, 0x100};
    for (const int32_t answer : kStopAnswers)
    for (int32_t stop = 1; stop <= full.advances; ++stop) {
        const std::string what = "stop answer " + std::to_string(answer) + " at advance " + std::to_string(stop) +
                                 " of " + std::to_string(full.advances);
        {
            ImageJob job(source, kFrameTime, RowFence::AfterRow);
            job.fillOutput(kOutputSentinel);
            job.advanceAnswer = [stop, answer](int32_t advances) { return advances >= stop ? answer : 0; };
            stage(what);
            filter.process(instance, job.access());
            expectRecordsKept(job, what);
            expectLeftAlone(full, what);
            if (!job.stopped) fail(what, "the filter to reach that advance", std::to_string(job.advances) + " advances");
            if (job.callsAfterStop > job.finishes)
                fail(what, "no row, pixel or monitor call after the stop",
                     decimal(static_cast<uint64_t>(job.callsAfterStop)) + " calls");
            if (job.finishes) fail(what, "no finish call", "the monitor's finish called");
        }
        const FilterRun after = processFully(filter, instance, source, "the full run after the " + what);
        if (after.output.rgba != full.output.rgba)
            fail("the full run after the " + what, "the output of a fresh instance's full run", "a different output");
    }
    filter.destroy(instance);
}

// The monitor is begun at most once, before any advance, with a total that
// covers the steps advanced: a host sizes its progress display from it.
void checkProgress(FilterDriver& filter, host::Instance instance, uint32_t seed, bool known) {
    struct Size {
        int32_t width, height;
    };
    // Tall and wide images, so that a total taken from the wrong side shows.
    constexpr Size sizes[] = {{3, 9}, {9, 3}, {1, 16}, {5, 5}};
    std::mt19937 random(seed);
    for (const Size& size : sizes) {
        const Image source = randomImage(size.width, size.height, random);
        const std::string what = sizeText(source);
        const FilterRun run = processFully(filter, instance, source, what);
        if (known && run.beginTotal != size.height)
            fail(what + ": the total given to the monitor's begin", "the height " + std::to_string(size.height),
                 std::to_string(run.beginTotal));
        if (run.advancedSteps > run.beginTotal)
            warn(what + ": the monitor was begun with a total of " + std::to_string(run.beginTotal) +
                 " and advanced " + std::to_string(run.advancedSteps) + " steps, more than the total");
    }
}

void checkReference(FilterDriver& filter, host::Instance instance) {
    processFully(filter, instance, everyByteImage(), "all 256 values");
}

// Runs `body` with the row's filter bound and one instance of it.
CheckBody withFilter(const ModuleFacts& facts, const RowFacts& r,
                     std::function<void(FilterDriver&, host::Instance)> body) {
    return [facts, r, body](std::string&) {
        Session session(facts);
        FilterDriver filter(session.row(r));
        bind(filter, r.label);
        host::Instance instance = createInstance(filter, "create");
        body(filter, instance);
        filter.destroy(instance);
    };
}

} // namespace

Image randomImage(int32_t width, int32_t height, std::mt19937& random) {
    Image image(width, height, true);
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint8_t& v : image.rgba) v = static_cast<uint8_t>(byte(random));
    return image;
}

FilterRun processFully(FilterDriver& filter, host::Instance instance, const Image& source, const std::string& what,
                       bool withMonitor, RowFence fence) {
    const auto kept = std::make_shared<ImageJob>(source, kFrameTime, fence);
    ImageJob& job = *kept;
    job.fillOutput(kOutputSentinel);
    job.setMonitor(withMonitor);
    stage(what + ": process");
    filter.process(instance, job.access());
    expectRecordsKept(job, what);
    if (const auto change = job.sourceChange(source))
        fail(what + ": source row " + std::to_string(change->row) + " of channel " + std::to_string(change->channel) +
                 ", byte " + std::to_string(change->column) + " (the filter writes only through the setters)",
             "unchanged " + hexByte(change->before), hexByte(change->after));
    expectEverySetOnce(job, source, what);
    if (job.begins > 1 || job.finishes != job.begins)
        fail(what + ": the progress monitor", job.begins ? "begin once, then finish once" : "no finish without a begin",
             "begin " + std::to_string(job.begins) + " times, finish " + std::to_string(job.finishes) + " times");
    if (job.advancesBeforeBegin > 0)
        fail(what + ": the progress monitor", "begin before any advance",
             "begin after " + std::to_string(job.advancesBeforeBegin) + " advances");
    if (FilterReference reference = filterReference(filter.row.serverName))
        expectReference(reference, source, job.output, what);
    return {job.output, job.advances, job.beginTotal, job.advancedSteps, kept, std::make_shared<const Image>(source), what};
}

void expectLeftAlone(const FilterRun& earlier, const std::string& during) {
    const std::string lent = " of the process call for " + earlier.what + ", lent for that call only";
    const std::string after = ", changed after that call returned, during the process call for " + during;
    if (const auto change = earlier.job->recordChange())
        fail("the host's " + std::string(change->record) + " record" + lent + ": its " +
                 recordFieldAt(change->record, change->offset) + after,
             "unchanged " + hex(change->before), hex(change->after));
    if (const auto change = earlier.job->sourceChange(*earlier.source))
        fail("source row " + std::to_string(change->row) + " of channel " + std::to_string(change->channel) + lent +
                 ": byte " + std::to_string(change->column) + after,
             "unchanged " + hexByte(change->before), hexByte(change->after));
}

std::vector<CheckDefinition> filterChecks(const ModuleFacts& facts) {
    std::vector<CheckDefinition> checks;
    for (const RowFacts& r : facts.handlerRows()) {
        if (!r.isFilter()) continue;
        const uint32_t seed = facts.seed;
        const bool known = r.known();
        checks.push_back({"filter/process/" + r.label,
                          withFilter(facts, r, [seed](FilterDriver& f, host::Instance i) { checkSizes(f, i, seed); }), true});
        checks.push_back({"filter/negative/" + r.label, withFilter(facts, r, checkNegativeSizes)});
        checks.push_back({"filter/abort/" + r.label,
                          [facts, r](std::string&) {
                              Session session(facts);
                              FilterDriver filter(session.row(r));
                              bind(filter, r.label);
                              checkAbort(filter, facts.seed);
                          },
                          true});
        checks.push_back({"filter/progress/" + r.label, withFilter(facts, r, [seed, known](FilterDriver& f, host::Instance i) {
                              checkProgress(f, i, seed, known);
                          }), true});
        if (filterReference(r.serverName))
            checks.push_back({"filter/reference/" + r.label, withFilter(facts, r, checkReference)});
    }
    return checks;
}

} // namespace refhost::check
