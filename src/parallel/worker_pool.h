// WorkerPool: a fixed set of worker threads, each with its own work-stealing
// deque, plus a shared queue for jobs handed in from other threads. Idle
// workers steal, yield for a while, then sleep until work is announced.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "job.h"
#include "pool_lost.h"
#include "support/cancellation.h"
#include "while_waiting.h"
#include "work_stealing_deque.h"

namespace caustiqa::parallel {

class WorkerPool {
public:
    using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static constexpr std::size_t default_stack_bytes = 2 * 1024 * 1024;

    struct Creation {
        WorkerPool* pool; // null when creation failed
        std::string error;
    };

    // Starts `threads` (>= 1) detached workers. If one cannot be started, the
    // started ones are told to stop and the result carries the reason. A pool
    // lives until the process ends; it is never destroyed. Throws only
    // std::bad_alloc, and only before any thread has started.
    static Creation create(std::size_t threads, ThreadStarter start = &pthread_create,
                           std::size_t stack_bytes = default_stack_bytes);

    // The process-wide pool, created on first use with `threads` workers, or
    // configured_thread_count() of them when not given (pass the count when
    // the environment should be read on the caller's terms, as the Python
    // boundary does while it holds the interpreter lock). If creation failed,
    // this and every later call throw FatalFailure. A child process made by
    // fork() forgets its parent's pool (whose threads it does not have) and
    // creates its own on first use.
    static WorkerPool& global(std::optional<std::size_t> threads = std::nullopt);
    // Whether global() would return at once, with a pool, without creating one.
    static bool global_exists() noexcept;

    std::size_t thread_count() const noexcept { return workers_.size(); }

    // Runs a(moved) and b(moved), possibly in parallel, and returns both
    // results; a FatalFailure (or any exception) of either is rethrown here
    // after both have finished, A's first. On a worker of this pool, B is
    // offered to thieves while A runs here; from any other thread the pair is
    // handed to the pool as one job, and the caller waits until it is done:
    // it looks at the job for up to caller_spin, then blocks, and every
    // poll_interval does `while_waiting` and asks `cancel`. If that code forks
    // and this is the child, the wait ends with PoolLostToFork.
    template <class A, class B>
    auto run_pair(A&& a, B&& b, Cancellation& cancel = never_cancelled(),
                  WhileWaiting while_waiting = {});

    // How often a thread outside the pool that waits for a job asks its
    // Cancellation: a stop request is acted on within a few milliseconds.
    static constexpr std::chrono::milliseconds poll_interval{2};

    // How long a thread outside the pool looks at its job before it blocks:
    // a short map is done before a sleep and wake-up would be.
    static constexpr std::chrono::microseconds caller_spin{50};

    // How long a worker that finished a job keeps looking for work before it
    // goes to sleep: the next call of a run of calls (a fit makes them back to
    // back) then finds it awake. Bounded, so an idle pool costs no CPU.
    static constexpr std::chrono::microseconds stay_awake{200};

    // True on the worker threads of this pool.
    bool on_worker_thread() const noexcept;

    // Wakes worker `index` if it sleeps (called when a latch it waits on is set).
    void wake_worker(std::size_t index) noexcept;

private:
    struct alignas(64) Worker {
        WorkerPool* pool;
        std::size_t index;
        WorkStealingDeque<Job*> deque;
        std::uint64_t victim_state; // xorshift64*, owner only
        std::mutex mutex;
        std::condition_variable wake;
        bool sleeping = false; // guarded by mutex
    };

    explicit WorkerPool(std::size_t threads);
    static void* worker_main(void* worker) noexcept;

    template <class A, class B>
    auto run_pair_on_worker(std::size_t index, A& a, B& b, bool injected);

    // Executes work until `latch` is set (or, for null, until the pool stops).
    void wait_until(std::size_t index, const SpinLatch* latch) noexcept;
    Job* find_work(std::size_t index) noexcept;
    Job* pop_injected() noexcept;
    void inject(Job* job) noexcept;
    // Tells sleeping workers that a job was published.
    void announce_work() noexcept;
    void wake_one_sleeper() noexcept;
    void stop() noexcept;

    std::vector<std::unique_ptr<Worker>> workers_;
    std::uint64_t forks_; // detail::fork_count() where the pool was made

    // The shared queue, oldest first, linked through Job::next.
    std::mutex injected_mutex_;
    Job* injected_head_ = nullptr;               // guarded by injected_mutex_
    Job* injected_tail_ = nullptr;               // guarded by injected_mutex_
    std::atomic<std::size_t> injected_count_{0}; // lets idle workers skip the lock

    alignas(64) std::atomic<std::uint64_t> job_events_{0};
    alignas(64) std::atomic<std::size_t> sleeping_{0};
    std::atomic<std::size_t> wake_cursor_{0};
    std::atomic<bool> stopping_{false};
};

// The thread count of the pool whose worker calls this; from any other thread,
// that of the process-wide pool, which is created if it does not exist yet.
std::size_t pool_thread_count();

namespace detail {

struct WorkerIdentity {
    WorkerPool* pool = nullptr;
    std::size_t index = 0;
};
inline thread_local WorkerIdentity current_worker;

// How many times this process is a child of fork() of its ancestors that had
// loaded the library: it changes in a child, whose pool is new.
std::uint64_t fork_count() noexcept;

// Waits as run_pair describes until `latch` is set. If `while_waiting` or
// the check unwinds (an exception, or the thread being ended), the wait for
// the job, which lives in this thread's frames, is finished first, unless
// this is a child forked since `forks` was read: then no worker will ever
// finish the job, and PoolLostToFork is thrown at once.
void wait_for_job(LockLatch& latch, Cancellation& cancel, const WhileWaiting& while_waiting,
                  std::uint64_t forks);

} // namespace detail

inline bool WorkerPool::on_worker_thread() const noexcept {
    return detail::current_worker.pool == this;
}

template <class A, class B>
auto WorkerPool::run_pair_on_worker(std::size_t index, A& a, B& b, bool injected) {
    Worker& self = *workers_[index];
    StackJob<B, SpinLatch> job_b(b, *this, index);
    self.deque.push(&job_b);
    announce_work();

    using ResultA = decltype(a(false));
    std::optional<ResultA> result_a;
    std::exception_ptr failure_a;
    try {
        result_a.emplace(a(injected));
    } catch (...) {
        failure_a = std::current_exception();
    }

    // Take B back, or wait for the thief that took it, executing other work
    // meanwhile: a worker never blocks on a nested map.
    while (!job_b.latch.probe()) {
        Job* job = self.deque.pop();
        if (job == &job_b) {
            job_b.run_inline(injected);
            break;
        }
        if (job != nullptr) {
            job->execute(job);
            continue;
        }
        wait_until(index, &job_b.latch);
        break;
    }
    if (failure_a) std::rethrow_exception(failure_a);
    auto result_b = job_b.take_result();
    return std::pair{std::move(*result_a), std::move(result_b)};
}

template <class A, class B>
auto WorkerPool::run_pair(A&& a, B&& b, Cancellation& cancel, WhileWaiting while_waiting) {
    if (on_worker_thread()) return run_pair_on_worker(detail::current_worker.index, a, b, false);
    auto packaged = [&](bool) {
        return run_pair_on_worker(detail::current_worker.index, a, b, true);
    };
    // In a child of fork(), a pool made before the fork has no threads.
    if (forks_ != detail::fork_count()) throw PoolLostToFork{};
    LockLatch latch; // this call's own: nested calls on this thread stack
    StackJob<decltype(packaged), LockLatchRef> job(packaged, LockLatchRef{&latch});
    inject(&job);
    detail::wait_for_job(latch, cancel, while_waiting, forks_);
    return job.take_result();
}

} // namespace caustiqa::parallel
