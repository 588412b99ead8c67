// parallel_map: an order-preserving map of a per-element function over an
// array, on a WorkerPool. The range is split recursively into two halves run
// by run_pair, as long as a split budget allows; the budget starts at the
// pool's thread count and is reset when a piece is stolen, so the splitting
// adapts to idle workers. Result i is written into output slot start + i, so
// the order holds by construction, whatever thread evaluates it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "support/fatal_failure.h"
#include "worker_pool.h"

namespace caustiqa::parallel {
namespace detail {

// The slots a piece of the range owns and the prefix of them it has written.
struct PieceResult {
    std::size_t first;
    std::size_t owned;
    std::size_t written;
};

template <class In, class Out, class Function> struct MapTask {
    WorkerPool& pool;
    const Function& function;
    Out* output; // output slot 0 of the whole map

    PieceResult run(const In* input, std::size_t length, std::size_t first_slot, std::size_t slots,
                    bool moved, std::size_t budget) const {
        const std::size_t mid = length / 2;
        bool split = false;
        if (mid >= 1) { // no piece shorter than one element
            if (moved) {
                budget = std::max(pool.thread_count(), budget / 2);
                split = true;
            } else if (budget > 0) {
                budget = budget / 2;
                split = true;
            }
        }
        if (!split) return run_sequentially(input, length, first_slot, slots);

        if (mid > length) fail("mid > len");
        if (mid > slots) fail("assertion failed: index <= len");
        auto [left, right] = pool.run_pair(
            [&](bool left_moved) { return run(input, mid, first_slot, mid, left_moved, budget); },
            [&](bool right_moved) {
                return run(input + mid, length - mid, first_slot + mid, slots - mid, right_moved,
                           budget);
            });
        if (left.first + left.written == right.first) {
            return PieceResult{left.first, left.owned + right.owned, left.written + right.written};
        }
        // Not contiguous (cannot happen while every piece writes all its
        // slots): keep the left part and release what the right one wrote.
        for (std::size_t i = 0; i < right.written; ++i)
            output[right.first + i] = Out{};
        return left;
    }

    PieceResult run_sequentially(const In* input, std::size_t length, std::size_t first_slot,
                                 std::size_t slots) const {
        if (length > slots) fail("too many values pushed to consumer");
        for (std::size_t i = 0; i < length; ++i)
            output[first_slot + i] = function(input[i]);
        return PieceResult{first_slot, slots, length};
    }
};

} // namespace detail

// Appends function(input[i]) for every i, in input order, to `output`.
// `function` must be safe to call from any thread at once. A FatalFailure (or
// other exception) thrown by an element reaches the caller after the map has
// finished, with `output` at its previous length.
template <class In, class Function, class Out>
void parallel_map(WorkerPool& pool, std::span<const In> input, const Function& function,
                  std::vector<Out>& output) {
    const std::size_t start = output.size();
    const std::size_t length = input.size();
    output.resize(start + length);
    if (output.size() - start < length) fail("assertion failed: vec.capacity() - start >= len");
    const std::size_t budget = std::max<std::size_t>(pool.thread_count(), 1);
    try {
        const detail::MapTask<In, Out, Function> task{pool, function, output.data() + start};
        const detail::PieceResult whole = task.run(input.data(), length, 0, length, false, budget);
        if (whole.written != length) {
            fail("expected " + std::to_string(length) + " total writes, but got " +
                 std::to_string(whole.written));
        }
    } catch (...) {
        output.resize(start);
        throw;
    }
}

// The same on the pool of the calling worker, or else the process-wide pool.
template <class In, class Function, class Out>
void parallel_map(std::span<const In> input, const Function& function, std::vector<Out>& output) {
    WorkerPool& pool = ::caustiqa::parallel::detail::current_worker.pool != nullptr
                           ? *::caustiqa::parallel::detail::current_worker.pool
                           : WorkerPool::global();
    parallel_map(pool, input, function, output);
}

} // namespace caustiqa::parallel
