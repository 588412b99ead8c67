// A Chase-Lev work-stealing deque of pointers (Chase & Lev, SPAA 2005; memory
// orders after Le, Pop, Cohen & Zappa Nardelli, PPoPP 2013). One owner thread
// pushes and pops at the bottom, newest first; any thread steals at the top,
// oldest first. The buffer grows on demand; retired buffers are kept until the
// deque is destroyed, since a thief may still be reading one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace caustiqa::parallel {

enum class StealResult { empty, success, retry };

template <class T> class WorkStealingDeque {
    static_assert(std::is_pointer_v<T>, "the deque stores pointers; null means empty");

public:
    explicit WorkStealingDeque(std::int64_t capacity = 64) : buffer_(new Buffer(capacity)) {}
    // Relaxed: no other thread uses a deque that is being destroyed.
    ~WorkStealingDeque() { delete buffer_.load(std::memory_order_relaxed); }
    WorkStealingDeque(const WorkStealingDeque&) = delete;
    WorkStealingDeque& operator=(const WorkStealingDeque&) = delete;

    // Owner only. Publishes `item` to thieves.
    void push(T item) {
        // Relaxed: only the owner writes bottom and the buffer pointer.
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        // Acquire: a slot that a thief has claimed (top moved past it) is
        // seen as free only after the thief has read it.
        const std::int64_t t = top_.load(std::memory_order_acquire);
        Buffer* buffer = buffer_.load(std::memory_order_relaxed);
        if (b - t > buffer->capacity - 1) buffer = grow(buffer, b, t);
        buffer->put(b, item);
        // Release: a thief that sees the new bottom also sees the item and
        // everything the owner wrote before pushing it.
        bottom_.store(b + 1, std::memory_order_release);
    }

    // Owner only. The newest item, or null when the deque is empty.
    T pop() {
        // Relaxed: only the owner writes bottom and the buffer pointer.
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        Buffer* buffer = buffer_.load(std::memory_order_relaxed);
        // The claim on slot b must be ordered before reading top, or owner
        // and thief could both take the same item. A full fence between the
        // two, rather than a sequentially consistent store and load: the
        // fence is the form proven for this deque, and it is the form that
        // emulators of weaker memory models translate faithfully (qemu-user
        // runs an aarch64 store-release followed by a load-acquire on x86-64
        // without ordering them, and there both sides took one item).
        bottom_.store(b, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_relaxed);
        if (t > b) {
            bottom_.store(b + 1, std::memory_order_release); // was empty: undo the claim
            return nullptr;
        }
        T item = buffer->get(b);
        if (t == b) {
            // The last item: race the thieves for it.
            // Sequentially consistent, as against the thieves' exchange; a
            // failed exchange reads nothing that needs ordering (relaxed).
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                item = nullptr;
            }
            bottom_.store(b + 1, std::memory_order_release);
        }
        return item;
    }

    // Any thread. Takes the oldest item into `out`; `retry` when another
    // thread won the race for it.
    StealResult steal(T& out) {
        std::int64_t t = top_.load(std::memory_order_acquire);
        // Full fence: orders reading top before reading bottom, against the
        // owner's claim and fence in pop().
        std::atomic_thread_fence(std::memory_order_seq_cst);
        // Acquire: pairs with the release stores of bottom, so the item is seen.
        const std::int64_t b = bottom_.load(std::memory_order_acquire);
        if (t >= b) return StealResult::empty;
        // Acquire: pairs with the release in grow(), so the copied items are seen.
        Buffer* buffer = buffer_.load(std::memory_order_acquire);
        T item = buffer->get(t);
        // The claim: sequentially consistent against pop() and other thieves;
        // on failure nothing was read that needs ordering (relaxed).
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            return StealResult::retry;
        }
        out = item;
        return StealResult::success;
    }

    // Any thread; a snapshot that may be stale by the time it is used
    // (acquire, as in steal(), so a non-empty answer is not older than the push).
    bool looks_empty() const {
        return top_.load(std::memory_order_acquire) >= bottom_.load(std::memory_order_acquire);
    }

private:
    struct Buffer {
        explicit Buffer(std::int64_t n)
            : capacity(n), slots(new std::atomic<T>[static_cast<std::size_t>(n)]) {}
        // Relaxed: the slots are ordered by the indices top and bottom.
        T get(std::int64_t i) const {
            return slots[i & (capacity - 1)].load(std::memory_order_relaxed);
        }
        void put(std::int64_t i, T item) {
            slots[i & (capacity - 1)].store(item, std::memory_order_relaxed);
        }
        const std::int64_t capacity; // a power of two
        std::unique_ptr<std::atomic<T>[]> slots;
    };

    // Owner only: copies the live range [t, b) into a buffer twice the size.
    Buffer* grow(Buffer* old, std::int64_t b, std::int64_t t) {
        auto* bigger = new Buffer(old->capacity * 2);
        for (std::int64_t i = t; i < b; ++i)
            bigger->put(i, old->get(i));
        retired_.emplace_back(old);
        // Release: a thief that loads the new buffer sees the copied items.
        buffer_.store(bigger, std::memory_order_release);
        return bigger;
    }

    alignas(64) std::atomic<std::int64_t> top_{0};
    alignas(64) std::atomic<std::int64_t> bottom_{0};
    alignas(64) std::atomic<Buffer*> buffer_;
    std::vector<std::unique_ptr<Buffer>> retired_; // owner only
};

} // namespace caustiqa::parallel
