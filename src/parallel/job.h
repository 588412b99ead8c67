// Jobs: units of work placed on the pool's queues, each with a completion
// signal (a latch) and a slot for its result or its failure.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace caustiqa::parallel {

class WorkerPool;

// What the queues hold. `execute` runs the job and sets its latch; it never
// throws. `next` links the jobs of the pool's shared queue.
struct Job {
    void (*execute)(Job*) noexcept;
    Job* next = nullptr;
};

// Completion signal of a job pushed by a worker, which keeps working while it
// waits and may sleep; setting it wakes that worker.
class SpinLatch {
public:
    SpinLatch(WorkerPool& pool, std::size_t owner) noexcept : pool_(&pool), owner_(owner) {}
    // Acquire: the job's results are visible once this returns true.
    bool probe() const noexcept { return done_.load(std::memory_order_acquire); }
    // Any thread, once, after the result slot is filled. The latch may be
    // destroyed as soon as the store is made, so only copies are used after it.
    void set() noexcept;

private:
    WorkerPool* pool_;
    std::size_t owner_;
    std::atomic<bool> done_{false};
};

// Completion signal of one job handed in by a thread outside the pool, which
// looks at it for a while and then blocks on it. Each such job has its own, so
// that waits nested on one thread (a call made from a signal handler while an
// outer call waits) never take each other's signal.
class LockLatch {
public:
    // Any thread, once, after the result slot is filled.
    void set() noexcept {
        std::lock_guard lock(mutex_);
        // Release: the waiter that sees it also sees the job's results.
        done_.store(true, std::memory_order_release);
        if (blocked_) signal_.notify_one();
    }
    // Waiting thread: whether set() has been called. After a true probe(),
    // settle() before the latch goes out of scope.
    bool probe() const noexcept { return done_.load(std::memory_order_acquire); }
    // Waiting thread: waits until set() has let go of the latch's mutex.
    void settle() noexcept { std::lock_guard lock(mutex_); }
    // Waiting thread: blocks until set or until `timeout` has passed; true
    // when set, and then settled.
    template <class Duration> bool wait_for(Duration timeout) noexcept {
        std::unique_lock lock(mutex_);
        blocked_ = true;
        // Relaxed under the mutex, which orders it with set().
        signal_.wait_for(lock, timeout, [this] { return done_.load(std::memory_order_relaxed); });
        blocked_ = false;
        return done_.load(std::memory_order_acquire);
    }

private:
    std::mutex mutex_;
    std::condition_variable signal_;
    std::atomic<bool> done_{false};
    bool blocked_ = false; // guarded by mutex_
};

// A LockLatch owned elsewhere (by the waiting thread), as a job's latch.
struct LockLatchRef {
    LockLatch* latch;
    void set() noexcept { latch->set(); }
};

// A job living in the stack frame of the thread that waits for it. Its
// function is called with `moved` = true: a job that is executed from a queue
// runs on another thread than the one that made it, or was handed in from outside.
template <class Function, class Latch> class StackJob : public Job {
public:
    using Result = decltype(std::declval<Function&>()(true));

    template <class... LatchArgs>
    explicit StackJob(Function& function, LatchArgs&&... latch_args)
        : Job{&StackJob::run, nullptr}, function_(function),
          latch(std::forward<LatchArgs>(latch_args)...) {}

    // Runs the function here instead of through a queue.
    void run_inline(bool moved) {
        try {
            result_.emplace(function_(moved));
        } catch (...) {
            failure_ = std::current_exception();
        }
    }
    // The result, or the failure rethrown; only after the job has completed.
    Result take_result() {
        if (failure_) std::rethrow_exception(failure_);
        return std::move(*result_);
    }

private:
    static void run(Job* job) noexcept {
        auto* self = static_cast<StackJob*>(job);
        self->run_inline(true);
        self->latch.set();
    }

    Function& function_;
    std::optional<Result> result_;
    std::exception_ptr failure_;

public:
    Latch latch;
};

} // namespace caustiqa::parallel
