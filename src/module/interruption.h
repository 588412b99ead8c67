// Interruption: the Cancellation of one Python call. It asks the interpreter
// whether a signal handler raised (Ctrl-C gives KeyboardInterrupt) and keeps
// that exception to be raised when the call ends. While the call waits for
// the worker pool, its check also does the call's waiting work (creating the
// result objects of finished elements).
#pragma once

#include <optional>

#include "pending_error.h"
#include "support/cancellation.h"

namespace caustiqa::module {

class Interruption {
public:
    Interruption() noexcept : cancel_(&check_signals, this) {}
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // The Cancellation handed to the computation; its check runs the
    // interpreter's pending signal handlers (on the main thread only).
    Cancellation& cancellation() noexcept { return cancel_; }

    // For item `index` of a long loop of interpreter work (conversion, result
    // building): asks for signals every `stride` items; true when that asked
    // to stop (the caller then stops at once).
    bool tick_item(std::size_t index) {
        return (index & (stride - 1)) == stride - 1 && cancel_.poll();
    }

    // The exception raised by a signal handler, if the call was interrupted
    // and it has not been taken yet.
    std::optional<PendingError> take() noexcept { return std::exchange(error_, std::nullopt); }

    // Work for the calling thread at each poll that does not stop the call,
    // until the returned guard ends; it must not poll this Interruption.
    template <class Work> [[nodiscard]] auto while_polled(Work& work) noexcept {
        work_ = [](void* w) { (*static_cast<Work*>(w))(); };
        work_context_ = &work;
        struct Guard {
            Interruption* self;
            ~Guard() { self->work_ = nullptr; }
        };
        return Guard{this};
    }

private:
    // 2^16 items: a millisecond or two of conversion or result building.
    static constexpr std::size_t stride = std::size_t{1} << 16;

    static bool check_signals(void* self);

    Cancellation cancel_;
    std::optional<PendingError> error_;
    void (*work_)(void*) = nullptr;
    void* work_context_ = nullptr;
};

} // namespace caustiqa::module
