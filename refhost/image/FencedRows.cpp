#include "refhost/image/FencedRows.h"

#include <atomic>

#include "host/ImageAccess.h"
#include "refhost/platform/Platform.h"

namespace refhost {

namespace {

// The rows that live now, for the fault handler. A handler may run at any
// moment, so it reads only this plain snapshot.
struct Fence {
    const uint8_t* base;
    std::size_t mapped, page, dataPages, slotBytes;
    int32_t width, height, planes;
    RowFence fence;
};
Fence liveFence{};
std::atomic<const Fence*> live{nullptr};

// Signal-safe text building.
struct Writer {
    char* out;
    std::size_t size, used = 0;
    void put(const char* text) {
        while (*text && used + 1 < size) out[used++] = *text++;
        out[used] = '\0';
    }
    void put(long long value) {
        char digits[24];
        int n = 0;
        const bool negative = value < 0;
        unsigned long long v = negative ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        if (negative) put("-");
        char text[24];
        for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
        text[n] = '\0';
        put(text);
    }
};

const char* channelName(int32_t plane) {
    static const char* const names[] = {"red", "green", "blue", "alpha"};
    return plane >= 0 && plane < 4 ? names[plane] : "plane";
}

} // namespace

FencedRows::FencedRows(int32_t width, int32_t height, int32_t planes, RowFence fence)
    : width_(width > 0 ? width : 0), height_(height > 0 ? height : 0), planes_(planes > 0 ? planes : 0), fence_(fence) {
    page_ = platform::pageSize();
    dataPages_ = (static_cast<std::size_t>(width_) + page_ - 1) / page_;
    slotBytes_ = (dataPages_ + 1) * page_;  // the row's pages and the guard page after them
    const std::size_t slots = static_cast<std::size_t>(height_) * planes_;
    mappedBytes_ = page_ + slots * slotBytes_;  // a leading guard page, then the slots
    void* mapped = platform::reservePages(mappedBytes_);
    if (!mapped) return;
    base_ = static_cast<uint8_t*>(mapped);
    for (std::size_t s = 0; s < slots && dataPages_; ++s) {
        if (!platform::makeAccessible(base_ + page_ + s * slotBytes_, dataPages_ * page_)) {
            platform::releasePages(base_, mappedBytes_);
            base_ = nullptr;
            return;
        }
    }
    liveFence = {base_, mappedBytes_, page_, dataPages_, slotBytes_, width_, height_, planes_, fence_};
    live.store(&liveFence);
}

FencedRows::~FencedRows() {
    if (!base_) return;
    if (live.load() == &liveFence && liveFence.base == base_) live.store(nullptr);
    platform::releasePages(base_, mappedBytes_);
}

uint8_t* FencedRows::row(int32_t plane, int32_t y) const {
    uint8_t* data = base_ + page_ + (static_cast<std::size_t>(plane) * height_ + y) * slotBytes_;
    if (fence_ == RowFence::BeforeRow && width_ > 0) return data;
    return data + dataPages_ * page_ - width_;
}

bool FencedRows::describeFault(const void* address, char* out, std::size_t size) {
    const Fence* f = live.load();
    if (!f || size == 0) return false;
    const auto* a = static_cast<const uint8_t*>(address);
    if (a < f->base || a >= f->base + f->mapped) return false;
    const std::size_t slots = static_cast<std::size_t>(f->height) * f->planes;
    if (slots == 0) return false;
    const std::size_t offset = static_cast<std::size_t>(a - f->base);
    // The guard page a fault lies in: the leading page, or the one after slot k.
    long long slot;
    bool afterSlot;
    if (offset < f->page) {
        slot = 0;
        afterSlot = false;
    } else {
        const std::size_t k = (offset - f->page) / f->slotBytes;
        const std::size_t within = (offset - f->page) % f->slotBytes;
        if (within < f->dataPages * f->page) return false;  // a row's own bytes do not fault
        // A guard page between two rows: in the before-row layout it fences the next row's start.
        afterSlot = !(f->fence == RowFence::BeforeRow && f->width > 0 && k + 1 < slots);
        slot = afterSlot ? static_cast<long long>(k) : static_cast<long long>(k) + 1;
    }
    const int32_t plane = static_cast<int32_t>(slot / f->height);
    const int32_t y = static_cast<int32_t>(slot % f->height);
    const uint8_t* data = f->base + f->page + static_cast<std::size_t>(slot) * f->slotBytes;
    const uint8_t* start = (f->fence == RowFence::BeforeRow && f->width > 0) ? data : data + f->dataPages * f->page - f->width;
    const long long at = a - start;

    Writer w{out, size};
    w.put("the module touched channel ");
    w.put(static_cast<long long>(host::kChannelRed + plane));
    w.put(" (");
    w.put(channelName(plane));
    w.put("), row ");
    w.put(static_cast<long long>(y));
    w.put(", offset ");
    w.put(at);
    if (at < 0) {
        w.put(", before the row's first byte");
    } else {
        w.put(", ");
        w.put(at - f->width + 1);
        w.put(at - f->width + 1 == 1 ? " byte" : " bytes");
        w.put(" past the end of its ");
        w.put(static_cast<long long>(f->width));
        w.put(f->width == 1 ? " byte" : " bytes");
    }
    return true;
}

} // namespace refhost
