#include "worker_pool.h"

#include <sched.h>

#include <cstring>
#include <exception>
#include <new>

#include "support/fatal_failure.h"
#include "thread_count.h"

namespace caustiqa::parallel {
namespace {

// Rounds of yielding before an idle worker goes to sleep: the gaps between
// the pieces of one map are shorter than a sleep and wake-up.
constexpr int yield_rounds = 32;

// The process-wide pool and the guard of its creation.
struct GlobalPool {
    std::mutex mutex;                       // held while the pool is created
    std::atomic<WorkerPool*> pool{nullptr}; // set once, when creation succeeded
    bool failed = false;                    // guarded by mutex; permanent
    std::string error;                      // guarded by mutex
};

// Never destroyed: daemon threads may still use the pool while the process
// exits. Re-initialised in a forked child (see forget_pool_after_fork).
alignas(GlobalPool) unsigned char global_storage[sizeof(GlobalPool)];
GlobalPool* const global_pool = new (global_storage) GlobalPool;

// Counts the forks this process descends from (see fork_count()).
std::atomic<std::uint64_t> forks{0};

// A child of fork() has only the thread that forked: none of the pool's
// workers, and possibly the creation mutex locked by a thread that no longer
// exists. It forgets the inherited pool without touching its threads or locks
// (their memory is simply abandoned) and creates a fresh one on first use.
// A call of that thread that was waiting for the old pool learns of it from
// the fork count.
void forget_pool_after_fork() noexcept {
    new (global_storage) GlobalPool;
    // Relaxed: the child has one thread until it starts new ones.
    forks.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, &forget_pool_after_fork);

std::uint64_t next_victim_state(std::uint64_t& state) noexcept {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

} // namespace

void SpinLatch::set() noexcept {
    WorkerPool* pool = pool_;
    const std::size_t owner = owner_;
    // Sequentially consistent (release at least: the result slot is written
    // before): the owner's probe, then its sleep check, see it in order.
    done_.store(true, std::memory_order_seq_cst);
    // The owner may return and destroy the latch from here on.
    if (detail::current_worker.pool != pool || detail::current_worker.index != owner) {
        pool->wake_worker(owner);
    }
}

std::uint64_t detail::fork_count() noexcept {
    // Relaxed: only the thread that forked reads a changed value.
    return forks.load(std::memory_order_relaxed);
}

void detail::wait_for_job(LockLatch& latch, Cancellation& cancel, const WhileWaiting& while_waiting,
                          std::uint64_t forks_before) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point spin_until = Clock::now() + WorkerPool::caller_spin;
    while (!latch.probe() && Clock::now() < spin_until)
        sched_yield(); // a worker that shares this core runs meanwhile
    if (latch.probe()) {
        latch.settle();
        return;
    }
    // Code run while waiting may fork; a child must not touch the latch again
    // (a worker of the parent may have held its mutex), nor wait for it.
    const auto check_fork = [forks_before] {
        if (fork_count() != forks_before) throw PoolLostToFork{};
    };
    try {
        while (!latch.wait_for(WorkerPool::poll_interval)) {
            while_waiting();
            check_fork();
            cancel.poll();
            check_fork();
        }
    } catch (const PoolLostToFork&) {
        throw;
    } catch (...) { // also the forced unwinding that ends a thread: rethrown below
        if (fork_count() == forks_before) {
            while (!latch.wait_for(WorkerPool::poll_interval)) {
            }
        }
        throw;
    }
}

WorkerPool::WorkerPool(std::size_t threads) : forks_(detail::fork_count()) {
    workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        workers_.push_back(std::make_unique<Worker>());
        workers_.back()->pool = this;
        workers_.back()->index = i;
        // Any non-zero seed serves; distinct seeds spread the first victims.
        workers_.back()->victim_state = 0x9E3779B97F4A7C15ULL * (i + 1);
    }
}

namespace {

// "could not start worker thread 2 of 8: <reason>"; never throws.
std::string start_failure(std::size_t index, std::size_t threads, const char* step,
                          int status) noexcept {
    try {
        return "could not start worker thread " + std::to_string(index + 1) + " of " +
               std::to_string(threads) + ": " + step + ": " + std::strerror(status);
    } catch (...) { // out of memory: the reason without its details
        return {};
    }
}

} // namespace

WorkerPool::Creation WorkerPool::create(std::size_t threads, ThreadStarter start,
                                        std::size_t stack_bytes) {
    // Everything a worker needs is allocated here, before any thread starts,
    // so that a failure afterwards has nothing to leak but the started threads.
    auto* pool = new WorkerPool(threads < 1 ? 1 : threads);
    pthread_attr_t attributes;
    int status = pthread_attr_init(&attributes);
    if (status != 0) {
        delete pool; // no thread uses it yet
        return {nullptr, start_failure(0, threads, "pthread_attr_init", status)};
    }
    const char* step = "pthread_attr_setstacksize";
    status = pthread_attr_setstacksize(&attributes, stack_bytes);
    if (status == 0) {
        step = "pthread_attr_setdetachstate";
        status = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    }
    std::size_t started = 0;
    for (; status == 0 && started < pool->thread_count(); ++started) {
        step = "pthread_create";
        pthread_t thread;
        status =
            start(&thread, &attributes, &WorkerPool::worker_main, pool->workers_[started].get());
        if (status != 0) break;
    }
    pthread_attr_destroy(&attributes);
    if (status == 0) return {pool, {}};
    if (started == 0) {
        delete pool;
    } else {
        // The started workers exit; the pool itself stays allocated, since
        // they may still be reading it on their way out.
        pool->stop();
    }
    return {nullptr, start_failure(started, threads < 1 ? 1 : threads, step, status)};
}

WorkerPool& WorkerPool::global(std::optional<std::size_t> threads) {
    GlobalPool& state = *global_pool;
    // Acquire: pairs with the release below, so the pool's fields are visible.
    if (WorkerPool* pool = state.pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(state.mutex);
    if (WorkerPool* pool = state.pool.load(std::memory_order_relaxed)) return *pool;
    if (!state.failed) {
        const Creation creation = create(threads ? *threads : configured_thread_count());
        if (creation.pool != nullptr) {
            state.pool.store(creation.pool, std::memory_order_release);
            return *creation.pool;
        }
        state.failed = true;
        state.error = creation.error;
    }
    fail("The global thread pool has not been initialized.: " + state.error);
}

bool WorkerPool::global_exists() noexcept {
    return global_pool->pool.load(std::memory_order_acquire) != nullptr;
}

std::size_t pool_thread_count() {
    if (detail::current_worker.pool != nullptr) return detail::current_worker.pool->thread_count();
    return WorkerPool::global().thread_count();
}

void* WorkerPool::worker_main(void* worker) noexcept {
    const Worker& self = *static_cast<const Worker*>(worker);
    caustiqa::detail::mark_thread_unnamed();
    detail::current_worker = {self.pool, self.index};
    // Allocates the C++ runtime's per-thread exception state now: under memory
    // exhaustion, the first exception thrown on a thread would otherwise have
    // to allocate it, and the C library aborts when that fails.
    // (The function is declared pure: a volatile store keeps the call.)
    [[maybe_unused]] volatile int exceptions = std::uncaught_exceptions();
    self.pool->wait_until(self.index, nullptr);
    return nullptr;
}

void WorkerPool::wait_until(std::size_t index, const SpinLatch* latch) noexcept {
    using Clock = std::chrono::steady_clock;
    Worker& self = *workers_[index];
    const auto done = [&] {
        // Acquire: pairs with the store in stop(); a stopping worker only exits.
        return latch != nullptr ? latch->probe() : stopping_.load(std::memory_order_acquire);
    };
    // A worker that has just run a job, started or been woken keeps looking
    // until `awake_until`, then yields for a few rounds, then sleeps.
    Clock::time_point awake_until = Clock::now() + stay_awake;
    int idle_rounds = 0;
    std::uint64_t events_seen = 0;
    while (!done()) {
        if (Job* job = find_work(index)) {
            job->execute(job);
            idle_rounds = 0;
            awake_until = Clock::now() + stay_awake;
            continue;
        }
        if (idle_rounds == 0 && Clock::now() < awake_until) {
            sched_yield(); // lets the calling thread or another process use this core
            continue;
        }
        if (idle_rounds < yield_rounds) {
            ++idle_rounds;
            sched_yield();
            continue;
        }
        if (idle_rounds == yield_rounds) {
            // About to sleep: remember the job count, look once more, then
            // sleep only if nothing was published since.
            ++idle_rounds;
            events_seen = job_events_.load(std::memory_order_seq_cst);
            sched_yield();
            continue;
        }
        idle_rounds = 0;
        std::unique_lock lock(self.mutex);
        self.sleeping = true;
        // Sequentially consistent with announce_work(): either the publisher
        // sees this sleeper, or the check below sees its job.
        sleeping_.fetch_add(1, std::memory_order_seq_cst);
        if (job_events_.load(std::memory_order_seq_cst) != events_seen || done()) {
            self.sleeping = false;
            sleeping_.fetch_sub(1, std::memory_order_relaxed); // only a count; the mutex orders
            continue;
        }
        self.wake.wait(lock, [&] { return !self.sleeping; });
        awake_until = Clock::now() + stay_awake;
    }
}

Job* WorkerPool::find_work(std::size_t index) noexcept {
    Worker& self = *workers_[index];
    if (Job* job = self.deque.pop()) return job;
    const std::size_t threads = workers_.size();
    if (threads > 1) {
        const std::size_t first = next_victim_state(self.victim_state) % threads;
        bool retry = true;
        while (retry) {
            retry = false;
            for (std::size_t k = 0; k < threads; ++k) {
                const std::size_t victim = (first + k) % threads;
                if (victim == index) continue;
                Job* job = nullptr;
                switch (workers_[victim]->deque.steal(job)) {
                case StealResult::success:
                    return job;
                case StealResult::retry:
                    retry = true;
                    break;
                case StealResult::empty:
                    break;
                }
            }
        }
    }
    return pop_injected();
}

Job* WorkerPool::pop_injected() noexcept {
    // Acquire: pairs with inject(); a zero only skips the lock, which orders the queue.
    if (injected_count_.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard lock(injected_mutex_);
    Job* job = injected_head_;
    if (job == nullptr) return nullptr;
    injected_head_ = job->next;
    if (injected_head_ == nullptr) injected_tail_ = nullptr;
    injected_count_.fetch_sub(1, std::memory_order_relaxed); // under the lock
    return job;
}

void WorkerPool::inject(Job* job) noexcept {
    job->next = nullptr;
    {
        std::lock_guard lock(injected_mutex_);
        (injected_tail_ != nullptr ? injected_tail_->next : injected_head_) = job;
        injected_tail_ = job;
        injected_count_.fetch_add(1, std::memory_order_release); // pairs with pop_injected()
    }
    announce_work();
}

void WorkerPool::announce_work() noexcept {
    job_events_.fetch_add(1, std::memory_order_seq_cst);
    if (sleeping_.load(std::memory_order_seq_cst) > 0) wake_one_sleeper();
}

void WorkerPool::wake_one_sleeper() noexcept {
    const std::size_t threads = workers_.size();
    // Relaxed: the cursor only spreads wake-ups; any value is correct.
    const std::size_t first = wake_cursor_.fetch_add(1, std::memory_order_relaxed) % threads;
    for (std::size_t k = 0; k < threads; ++k) {
        Worker& worker = *workers_[(first + k) % threads];
        std::lock_guard lock(worker.mutex);
        if (worker.sleeping) {
            worker.sleeping = false;
            sleeping_.fetch_sub(1, std::memory_order_relaxed); // under the worker's mutex
            worker.wake.notify_one();
            return;
        }
    }
}

void WorkerPool::wake_worker(std::size_t index) noexcept {
    Worker& worker = *workers_[index];
    std::lock_guard lock(worker.mutex);
    if (worker.sleeping) {
        worker.sleeping = false;
        sleeping_.fetch_sub(1, std::memory_order_relaxed); // under the worker's mutex
        worker.wake.notify_one();
    }
}

void WorkerPool::stop() noexcept {
    // Sequentially consistent, as the sleep check reads it after its own count.
    stopping_.store(true, std::memory_order_seq_cst);
    for (std::size_t i = 0; i < workers_.size(); ++i)
        wake_worker(i);
}

} // namespace caustiqa::parallel
