// Cancellation: how a long computation learns that its caller wants it to
// stop (for example on Ctrl-C). The caller hands in a check; the computation
// asks it from the thread that started it, every few milliseconds of work, and
// stops early once it says so. Worker threads only read the resulting flag.
#pragma once

#include <atomic>
#include <cstddef>

namespace caustiqa {

class Cancellation {
public:
    // Returns true when the computation should stop. Called only on the thread
    // that started the computation; it may run code of the caller's (and so
    // must be allowed to unwind), which is why nothing here is noexcept.
    using Check = bool (*)(void* context);

    // A computation that is never cancelled.
    Cancellation() noexcept = default;
    Cancellation(Check check, void* context) noexcept : check_(check), context_(context) {}
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    // Any thread: whether a stop has been requested. Relaxed: the flag carries
    // no data, and a reader that sees it late only does a little more work.
    bool requested() const noexcept { return stopped_.load(std::memory_order_relaxed); }

    // Whether there is a check to ask (false for a computation never cancelled).
    bool polls() const noexcept { return check_ != nullptr; }

    // Starting thread: asks the check now; true (and from then on requested())
    // once it has said to stop.
    bool poll() {
        if (requested()) return true;
        if (check_ == nullptr || !check_(context_)) return false;
        stopped_.store(true, std::memory_order_relaxed);
        return true;
    }

    // Starting thread: counts `units` of work (one unit is about one disc or
    // ring evaluation, a few hundred nanoseconds) and asks the check once
    // `poll_units` have accumulated, i.e. every few milliseconds; true when
    // that check said to stop (the caller then stops at once).
    bool tick(std::size_t units) {
        if (check_ == nullptr) return false; // never cancelled: no state to touch
        spent_ += units;
        if (spent_ < poll_units) return false;
        spent_ = 0;
        return poll();
    }

    // About 2 to 4 ms of kernel evaluations: a stop request is seen well within
    // a tenth of a second, and a check costing ~20 ns adds under 0.01 %.
    static constexpr std::size_t poll_units = 8192;

private:
    Check check_ = nullptr;
    void* context_ = nullptr;
    std::size_t spent_ = 0; // starting thread only
    std::atomic<bool> stopped_{false};
};

// The Cancellation of computations that nobody cancels (shared; read-only).
inline Cancellation& never_cancelled() noexcept {
    static Cancellation never;
    return never;
}

} // namespace caustiqa
