// Progress on a terminal, and Ctrl-C (or SIGTERM, SIGHUP) as a request to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace refhost {

// Draws "label [#####.....] done/total  42%  1.3s" on stderr when it is a
// terminal; prints nothing otherwise.
class ProgressBar {
public:
    explicit ProgressBar(std::string label);
    ProgressBar(std::string label, bool enabled);
    ~ProgressBar();

    void begin(int64_t total);
    void advance(int64_t amount);
    void finish();
    bool enabled() const { return enabled_; }
    // Ends the line of a bar left open by work that was abandoned (a crash),
    // so that a message starts a line of its own.
    static void endOpenLine();

private:
    void draw(bool force);

    std::string label_;
    bool enabled_;
    bool open_ = false;
    int64_t total_ = 0;
    int64_t done_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// While it lives, a first request to stop (Ctrl-C, SIGTERM, SIGHUP; see
// platform::installInterruptHandler) sets a flag instead of ending the
// process, and ends any check child running; a second one ends the process
// as usual.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

bool interruptRequested();
// The exit status the first request asked for: 128 + the signal, 130 for
// Ctrl-C; 130 also when none came.
int interruptStatus();

} // namespace refhost
