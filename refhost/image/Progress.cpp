#include "refhost/image/Progress.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#include "refhost/platform/Platform.h"

namespace refhost {

namespace {

// The exit status of the first request, 0 before one.
volatile std::sig_atomic_t interruptFlag = 0;
int guards = 0;
std::atomic<bool> lineOpen{false};  // a bar's line is on the terminal, not yet ended

// The first request asks the work to stop; a second one ends the process,
// for a module that never looks at its progress monitor.
void onInterrupt(int exitStatus) {
    if (interruptFlag) platform::endByInterrupt(exitStatus);
    interruptFlag = exitStatus;
}

} // namespace

ProgressBar::ProgressBar(std::string label) : ProgressBar(std::move(label), platform::isTerminal(stderr)) {}

ProgressBar::ProgressBar(std::string label, bool enabled) : label_(std::move(label)), enabled_(enabled) {}

ProgressBar::~ProgressBar() {
    if (open_ && lineOpen.exchange(false)) std::fputc('\n', stderr);
}

void ProgressBar::endOpenLine() {
    if (lineOpen.exchange(false)) std::fputc('\n', stderr);
}

void ProgressBar::begin(int64_t total) {
    total_ = total;
    done_ = 0;
    start_ = std::chrono::steady_clock::now();
    lastDraw_ = {};
    open_ = enabled_;
    lineOpen = open_;
    draw(true);
}

void ProgressBar::advance(int64_t amount) {
    done_ += amount;
    draw(done_ >= total_);
}

void ProgressBar::finish() {
    draw(true);
    if (open_ && lineOpen.exchange(false)) std::fputc('\n', stderr);
    open_ = false;
}

void ProgressBar::draw(bool force) {
    if (!enabled_ || !open_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(50)) return;
    lastDraw_ = now;
    constexpr int kCells = 30;
    const double fraction = total_ > 0 ? static_cast<double>(done_) / static_cast<double>(total_) : 1.0;
    const int filled = static_cast<int>(fraction * kCells);
    char cells[kCells + 1];
    for (int i = 0; i < kCells; ++i) cells[i] = i < filled ? '#' : '.';
    cells[kCells] = '\0';
    const double seconds = std::chrono::duration<double>(now - start_).count();
    platform::print(stderr, "\r%s [%s] %lld/%lld %3d%% %.1fs", label_.c_str(), cells, static_cast<long long>(done_),
                    static_cast<long long>(total_), static_cast<int>(fraction * 100.0), seconds);
    std::fflush(stderr);
}

InterruptGuard::InterruptGuard() {
    if (guards++ == 0) {
        interruptFlag = 0;
        platform::installInterruptHandler(onInterrupt);
    }
}

InterruptGuard::~InterruptGuard() {
    if (--guards == 0) platform::removeInterruptHandler();
}

bool interruptRequested() { return interruptFlag != 0; }
int interruptStatus() { return interruptFlag != 0 ? interruptFlag : 130; }

} // namespace refhost
