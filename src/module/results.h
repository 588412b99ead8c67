// Python results built from C++ values. A failure to allocate a float or a
// list is reported as unraisable and then thrown as a FatalFailure. Building
// a long list polls `interruption` (unless null) and gives a null Ref once it
// says to stop.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "handle.h"
#include "interruption.h"

namespace caustiqa::module {

Ref build_float(double value);
Ref build_list(std::span<const double> values, Interruption* interruption);

// A list created at its final length before its items are known, and filled
// in order as they become final: by the calling thread while the worker pool
// computes the rest, then at the end. Items are floats (from doubles) or
// lists of floats (from rows). A list not taken is released with the items it
// has (the others are still null, which the list's release allows).
class ListInProgress {
public:
    explicit ListInProgress(std::size_t length);

    // Creates the items up to `end` that are not created yet, from values[i].
    // With an Interruption, polls it as build_list does and returns false once
    // it says to stop; without one, does not.
    bool fill(std::span<const double> values, std::size_t end, Interruption* interruption);
    bool fill(std::span<const std::vector<double>> rows, std::size_t end,
              Interruption* interruption);

    // The list, once every item is filled.
    Ref take() noexcept { return std::move(list_); }

    // Releases the list and its filled items after the call that made it has
    // returned, a slice at a time from the interpreter's pending calls: an
    // interrupted call then raises at once instead of first releasing
    // millions of floats. Where no pending call can be scheduled (not the
    // main interpreter, or its queue is full) they are released now.
    void release_after_return() && noexcept;

private:
    Ref list_;
    std::size_t filled_ = 0;
};

} // namespace caustiqa::module
