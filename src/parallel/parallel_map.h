// parallel_map: an order-preserving map of a per-element function over an
// array, on a WorkerPool. The range is split recursively into two halves run
// by run_pair, as long as a split budget allows; the budget starts at the
// pool's thread count and is reset when a piece is stolen, so the splitting
// adapts to idle workers. Result i is written into output slot start + i, so
// the order holds by construction, whatever thread evaluates it.
//
// A map can be cancelled: unsplit pieces are evaluated in runs of at most
// `leaf_run` elements and stop at the next run once a stop is requested, and
// the calling thread, while it waits for the pool, polls the Cancellation.
// The results may also be used while the map runs: see BlockProgress.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "block_progress.h"
#include "support/cancellation.h"
#include "support/fatal_failure.h"
#include "worker_pool.h"

namespace caustiqa::parallel {
namespace detail {

// Elements evaluated between two looks at the cancellation flag: short enough
// that a cancelled map stops within a fraction of a millisecond, long enough
// that the (relaxed) load costs nothing.
inline constexpr std::size_t leaf_run = 1024;

// Output slots sized between two looks at the cancellation: 8 MiB of
// doubles, a few milliseconds.
inline constexpr std::size_t sizing_run = std::size_t{1} << 20;

// The slots a piece of the range owns and the prefix of them it has written.
struct PieceResult {
    std::size_t first;
    std::size_t owned;
    std::size_t written;
};

// `leaf(input, n, output)` evaluates n consecutive elements into n slots.
template <class In, class Out, class Leaf> struct MapTask {
    WorkerPool& pool;
    const Leaf& leaf;
    Out* output; // output slot 0 of the whole map
    Cancellation& cancel;
    BlockProgress* progress; // told of every run written, when not null
    WhileWaiting while_waiting;

    PieceResult run(const In* input, std::size_t length, std::size_t first_slot, std::size_t slots,
                    bool moved, std::size_t budget) const {
        if (cancel.requested()) return PieceResult{first_slot, slots, 0};
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

        ensure(mid <= length, "mid > len");
        ensure(mid <= slots, "assertion failed: index <= len");
        auto [left, right] = pool.run_pair(
            [&](bool left_moved) { return run(input, mid, first_slot, mid, left_moved, budget); },
            [&](bool right_moved) {
                return run(input + mid, length - mid, first_slot + mid, slots - mid, right_moved,
                           budget);
            },
            cancel, while_waiting);
        if (left.first + left.written == right.first) {
            return PieceResult{left.first, left.owned + right.owned, left.written + right.written};
        }
        // Not contiguous (only when a cancelled piece stopped early): keep the
        // left part and release what the right one wrote.
        for (std::size_t i = 0; i < right.written; ++i)
            output[right.first + i] = Out{};
        return left;
    }

    PieceResult run_sequentially(const In* input, std::size_t length, std::size_t first_slot,
                                 std::size_t slots) const {
        ensure(length <= slots, "too many values pushed to consumer");
        std::size_t done = 0;
        while (done < length && !cancel.requested()) {
            const std::size_t n = std::min(leaf_run, length - done);
            leaf(input + done, n, output + first_slot + done);
            if (progress != nullptr) progress->written(first_slot + done, n);
            done += n;
        }
        return PieceResult{first_slot, slots, done};
    }
};

// Runs the map of `leaf` over `input`, appending to `output`; false when cancelled.
template <class In, class Leaf, class Out>
bool map_leaves(WorkerPool& pool, std::span<const In> input, const Leaf& leaf,
                std::vector<Out>& output, Cancellation& cancel, BlockProgress* progress,
                WhileWaiting while_waiting) {
    const std::size_t start = output.size();
    const std::size_t length = input.size();
    output.reserve(start + length);
    // Sizing the output touches every page of it, a second or more for
    // hundreds of megabytes: a thread outside the pool does it in runs
    // between looks at its cancellation.
    const bool polls = !pool.on_worker_thread();
    for (std::size_t size = start; size < start + length;) {
        size = std::min(size + sizing_run, start + length);
        output.resize(size);
        if (polls && size < start + length && cancel.poll()) {
            output.resize(start);
            return false;
        }
    }
    ensure(output.size() - start >= length, "assertion failed: vec.capacity() - start >= len");
    const std::size_t budget = std::max<std::size_t>(pool.thread_count(), 1);
    try {
        const MapTask<In, Out, Leaf> task{pool,   leaf,     output.data() + start,
                                          cancel, progress, while_waiting};
        const PieceResult whole = task.run(input.data(), length, 0, length, false, budget);
        if (whole.written != length) {
            if (cancel.requested()) {
                output.resize(start);
                return false;
            }
            fail("expected " + std::to_string(length) + " total writes, but got " +
                 std::to_string(whole.written));
        }
    } catch (...) {
        output.resize(start);
        throw;
    }
    return true;
}

inline WorkerPool& current_pool() {
    WorkerPool* worker_pool = current_worker.pool;
    return worker_pool != nullptr ? *worker_pool : WorkerPool::global();
}

} // namespace detail

// Appends function(input[i]) for every i, in input order, to `output`, and
// returns true. `function` must be safe to call from any thread at once. A
// FatalFailure (or other exception) thrown by an element reaches the caller
// after the map has finished, with `output` at its previous length. Once
// `cancel` requests a stop, the map returns false as soon as the elements in
// progress are done, again with `output` at its previous length. `progress`,
// if given, learns of every run of results written (slot i of the map being
// output slot start + i); a thread outside the pool that started the map may
// consume them in `while_waiting`, which it runs while it waits for the pool.
template <class In, class Function, class Out>
bool parallel_map(WorkerPool& pool, std::span<const In> input, const Function& function,
                  std::vector<Out>& output, Cancellation& cancel = never_cancelled(),
                  BlockProgress* progress = nullptr, WhileWaiting while_waiting = {}) {
    const auto leaf = [&function](const In* in, std::size_t n, Out* out) {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = function(in[i]);
    };
    return detail::map_leaves(pool, input, leaf, output, cancel, progress, while_waiting);
}

// The same, on the pool of the calling worker, or else the process-wide pool.
template <class In, class Function, class Out>
bool parallel_map(std::span<const In> input, const Function& function, std::vector<Out>& output,
                  Cancellation& cancel = never_cancelled(), BlockProgress* progress = nullptr,
                  WhileWaiting while_waiting = {}) {
    return parallel_map(detail::current_pool(), input, function, output, cancel, progress,
                        while_waiting);
}

// parallel_map for a function of consecutive runs of elements:
// chunk(input, n, output) writes the results of input[0..n) to output[0..n).
// Runs hold at most detail::leaf_run elements; results are the same as an
// element-wise map of the same values whatever the runs are.
template <class In, class Chunk, class Out>
bool parallel_map_chunks(std::span<const In> input, const Chunk& chunk, std::vector<Out>& output,
                         Cancellation& cancel = never_cancelled(),
                         BlockProgress* progress = nullptr, WhileWaiting while_waiting = {}) {
    return detail::map_leaves(detail::current_pool(), input, chunk, output, cancel, progress,
                              while_waiting);
}

} // namespace caustiqa::parallel
