// BlockProgress: which results of a running parallel map are final, for a
// thread that consumes them while the map still runs (the calling thread,
// which would otherwise only wait). The output is divided into blocks of
// consecutive slots; the map reports every run of slots it writes, and the
// consumer sees a growing prefix of completed blocks, in order.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>

namespace caustiqa::parallel {

class BlockProgress {
public:
    // An output of `length` slots in blocks of `block` (>= 1) slots.
    BlockProgress(std::size_t length, std::size_t block)
        : length_(length), block_(std::max<std::size_t>(block, 1)),
          blocks_((length + block_ - 1) / block_),
          written_(std::make_unique<std::atomic<std::size_t>[]>(blocks_)) {}

    // Any thread, after writing slots [first, first + n) for the last time.
    void written(std::size_t first, std::size_t n) noexcept {
        const std::size_t end = first + n;
        for (std::size_t b = first / block_; first < end; ++b) {
            const std::size_t block_end = std::min(end, (b + 1) * block_);
            // Release: a consumer that sees the block complete (acquire
            // below) also sees the values written into it.
            written_[b].fetch_add(block_end - first, std::memory_order_release);
            first = block_end;
        }
    }

    // Consumer thread only: slots [0, ready()) are final; never decreases.
    std::size_t ready() noexcept {
        while (next_ < blocks_ &&
               written_[next_].load(std::memory_order_acquire) == block_size(next_)) {
            ++next_;
        }
        return std::min(next_ * block_, length_);
    }

private:
    std::size_t block_size(std::size_t b) const noexcept {
        return std::min(block_, length_ - b * block_);
    }

    std::size_t length_;
    std::size_t block_;
    std::size_t blocks_;
    std::unique_ptr<std::atomic<std::size_t>[]> written_;
    std::size_t next_ = 0; // consumer only
};

} // namespace caustiqa::parallel
