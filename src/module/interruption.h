// Interruption: the Cancellation of one Python call. It asks the interpreter
// whether a signal handler raised (Ctrl-C gives KeyboardInterrupt) and keeps
// that exception to be raised when the call ends.
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

private:
    // 2^16 items: a millisecond or two of conversion or result building.
    static constexpr std::size_t stride = std::size_t{1} << 16;

    static bool check_signals(void* self);

    Cancellation cancel_;
    std::optional<PendingError> error_;
};

} // namespace caustiqa::module
