// parallel_map and run_pair on pools of several sizes, compared with a serial
// loop; failures injected into elements; many threads mapping at once; and a
// pool whose threads cannot all be started.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "parallel/parallel_map.h"
#include "support/fatal_failure.h"

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define IGNORE_LEAKS_BEGIN() __lsan_disable()
#define IGNORE_LEAKS_END() __lsan_enable()
#else
#define IGNORE_LEAKS_BEGIN()
#define IGNORE_LEAKS_END()
#endif

namespace {

using caustiqa::FatalFailure;
using caustiqa::parallel::parallel_map;
using caustiqa::parallel::WorkerPool;
using Span = std::span<const std::uint64_t>;

// Pools live until the process ends, so each size is created once.
WorkerPool& pool_of(std::size_t threads) {
    static std::mutex mutex;
    static std::map<std::size_t, WorkerPool*> pools;
    std::lock_guard lock(mutex);
    WorkerPool*& pool = pools[threads];
    if (pool == nullptr) {
        const WorkerPool::Creation creation = WorkerPool::create(threads);
        if (creation.pool == nullptr) throw std::runtime_error(creation.error);
        pool = creation.pool;
    }
    return *pool;
}

std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

std::vector<std::uint64_t> iota(std::size_t n, std::uint64_t first = 0) {
    std::vector<std::uint64_t> values(n);
    std::iota(values.begin(), values.end(), first);
    return values;
}

std::vector<std::uint64_t> serial_mix(const std::vector<std::uint64_t>& input) {
    std::vector<std::uint64_t> out;
    for (const std::uint64_t x : input)
        out.push_back(mix(x));
    return out;
}

bool is_worker_of(const WorkerPool& pool) {
    return caustiqa::parallel::detail::current_worker.pool == &pool;
}

const std::vector<std::uint64_t> earlier = {7, 8, 9}; // output content before a map

struct MapCase {
    std::size_t threads;
    std::size_t length;
};

class MapSizes : public testing::TestWithParam<MapCase> {};

TEST_P(MapSizes, AppendsResultsInInputOrder) {
    const auto [threads, length] = GetParam();
    WorkerPool& pool = pool_of(threads);
    const std::vector<std::uint64_t> input = iota(length);
    std::atomic<std::size_t> calls{0};
    std::vector<std::uint64_t> out = earlier;
    parallel_map(
        pool, Span(input),
        [&](std::uint64_t x) {
            calls.fetch_add(1, std::memory_order_relaxed);
            return mix(x);
        },
        out);
    EXPECT_EQ(calls.load(), length);
    std::vector<std::uint64_t> expected = earlier;
    const std::vector<std::uint64_t> mixed = serial_mix(input);
    expected.insert(expected.end(), mixed.begin(), mixed.end());
    EXPECT_TRUE(out == expected); // not EXPECT_EQ: a million-element diff is no help
}

std::vector<MapCase> map_cases() {
    std::vector<MapCase> table;
    for (const std::size_t threads : {1, 2, 3, 8}) {
        for (const std::size_t length : {0, 1, 2, 1000, 1000000}) {
            table.push_back({threads, length});
        }
    }
    return table;
}

std::string map_case_name(const testing::TestParamInfo<MapCase>& info) {
    return std::to_string(info.param.threads) + "threads_" + std::to_string(info.param.length);
}

INSTANTIATE_TEST_SUITE_P(Pools, MapSizes, testing::ValuesIn(map_cases()), map_case_name);

class NestedMaps : public testing::TestWithParam<std::size_t> {};

// Each outer element runs an inner map over its own range, on the pool of the
// worker it runs on, as the grid of lens and source radii does.
TEST_P(NestedMaps, InnerMapsRunOnTheOuterPool) {
    const std::size_t threads = GetParam();
    WorkerPool& pool = pool_of(threads);
    const std::vector<std::uint64_t> outer = iota(12);
    std::atomic<int> foreign{0};
    std::vector<std::vector<std::uint64_t>> out;
    parallel_map(
        pool, Span(outer),
        [&](std::uint64_t k) {
            const std::vector<std::uint64_t> inner = iota(1000, k * 1000);
            std::vector<std::uint64_t> result;
            parallel_map(
                Span(inner),
                [&](std::uint64_t x) {
                    if (!is_worker_of(pool) || caustiqa::parallel::pool_thread_count() != threads) {
                        foreign.fetch_add(1);
                    }
                    return mix(x);
                },
                result);
            return result;
        },
        out);
    EXPECT_EQ(foreign.load(), 0);
    ASSERT_EQ(out.size(), outer.size());
    for (const std::uint64_t k : outer) {
        EXPECT_TRUE(out[k] == serial_mix(iota(1000, k * 1000))) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Pools, NestedMaps, testing::Values(1, 2, 3, 8));

TEST(ParallelMap, GlobalPoolOverloadMatchesSerialLoop) {
    const std::vector<std::uint64_t> input = iota(1000);
    std::vector<std::uint64_t> out;
    parallel_map(Span(input), mix, out);
    EXPECT_EQ(out, serial_mix(input));
}

// The chunk map gives the element map's results; its progress reports every
// slot once, so that the consumer's prefix reaches the whole output.
TEST(ParallelMap, ChunkedMapEqualsTheElementMap) {
    const std::vector<std::uint64_t> input = iota(100000);
    std::vector<std::uint64_t> out = earlier;
    std::atomic<std::size_t> longest{0};
    caustiqa::parallel::BlockProgress progress(input.size(), 4096);
    ASSERT_TRUE(caustiqa::parallel::parallel_map_chunks(
        Span(input),
        [&](const std::uint64_t* in, std::size_t n, std::uint64_t* result) {
            if (n > longest.load()) longest.store(n);
            for (std::size_t i = 0; i < n; ++i)
                result[i] = mix(in[i]);
        },
        out, caustiqa::never_cancelled(), &progress));
    EXPECT_EQ(progress.ready(), input.size());
    std::vector<std::uint64_t> expected = earlier;
    const std::vector<std::uint64_t> mixed = serial_mix(input);
    expected.insert(expected.end(), mixed.begin(), mixed.end());
    EXPECT_TRUE(out == expected);
    EXPECT_LE(longest.load(), caustiqa::parallel::detail::leaf_run);
}

// A map cancelled by its caller's check (asked only on the calling thread,
// while it waits) stops early, keeps the output as it was, and leaves the
// pool, also for nested maps, ready for the next map.
TEST(ParallelMap, CancelledMapsStopAndLeaveTheOutputAlone) {
    for (const std::size_t threads : {1, 2, 8}) {
        WorkerPool& pool = pool_of(threads);
        struct Polls {
            std::thread::id caller = std::this_thread::get_id();
            std::atomic<int> count{0};
            bool foreign = false;
        } polls;
        caustiqa::Cancellation cancel(
            [](void* context) {
                auto& p = *static_cast<Polls*>(context);
                p.foreign = p.foreign || std::this_thread::get_id() != p.caller;
                return p.count.fetch_add(1) >= 2; // stop at the third poll
            },
            &polls);
        const std::vector<std::uint64_t> outer = iota(64);
        std::atomic<std::size_t> evaluated{0};
        std::vector<std::vector<std::uint64_t>> out(2);
        const bool complete = parallel_map(
            pool, Span(outer),
            [&](std::uint64_t) {
                const std::vector<std::uint64_t> inner = iota(1 << 20);
                std::vector<std::uint64_t> result;
                parallel_map(
                    Span(inner),
                    [&](std::uint64_t x) {
                        evaluated.fetch_add(1, std::memory_order_relaxed);
                        return mix(x);
                    },
                    result, cancel);
                return result;
            },
            out, cancel);
        EXPECT_FALSE(complete) << threads;
        EXPECT_TRUE(cancel.requested());
        EXPECT_FALSE(polls.foreign);
        EXPECT_EQ(out.size(), 2u);
        EXPECT_LT(evaluated.load(), outer.size() << 20); // it did stop early
        std::vector<std::uint64_t> after;
        EXPECT_TRUE(parallel_map(pool, Span(iota(1000)), mix, after));
        EXPECT_EQ(after, serial_mix(iota(1000)));
    }
}

// The thread that waits for a map may start another map from its waiting
// work (as Python code run there may): each wait has its own completion
// signal, so both maps complete with their own results, however they nest.
TEST(ParallelMap, MapsStartedWhileWaitingNest) {
    for (const std::size_t threads : {1, 2}) {
        WorkerPool& pool = pool_of(threads);
        const std::vector<std::uint64_t> outer_input = iota(1 << 14);
        const std::vector<std::uint64_t> inner_input = iota(2000, 7);
        int nested = 0, wrong = 0;
        std::function<void()> start_inner; // itself waiting with start_inner, two deep
        int depth = 0;
        start_inner = [&] {
            if (depth == 2) return;
            ++depth;
            std::vector<std::uint64_t> inner;
            parallel_map(pool, Span(inner_input), mix, inner, caustiqa::never_cancelled(), nullptr,
                         caustiqa::parallel::WhileWaiting(start_inner));
            wrong += inner != serial_mix(inner_input);
            ++nested;
            --depth;
        };
        std::vector<std::uint64_t> outer;
        parallel_map(
            pool, Span(outer_input),
            [](std::uint64_t x) {
                std::this_thread::sleep_for(std::chrono::microseconds(2)); // a wait of many polls
                return mix(x);
            },
            outer, caustiqa::never_cancelled(), nullptr,
            caustiqa::parallel::WhileWaiting(start_inner));
        EXPECT_EQ(outer, serial_mix(outer_input));
        EXPECT_GT(nested, 0);
        EXPECT_EQ(wrong, 0);
    }
}

struct FailureCase {
    std::size_t threads;
    std::size_t length;
    std::vector<std::size_t> failing;
};

class InjectedFailures : public testing::TestWithParam<FailureCase> {};

// The caller gets the failure of the lowest failing element, after every other
// piece has finished; the output keeps its previous content and the pool
// runs the next map.
TEST_P(InjectedFailures, ReachTheCallerAndLeaveThePoolUsable) {
    const FailureCase& param = GetParam();
    WorkerPool& pool = pool_of(param.threads);
    const std::vector<std::uint64_t> input = iota(param.length);
    std::vector<char> evaluated(param.length, 0);
    const auto function = [&](std::uint64_t x) {
        evaluated[x] = 1;
        for (const std::size_t k : param.failing) {
            if (x == k) caustiqa::fail("element " + std::to_string(k) + " failed");
        }
        return mix(x);
    };
    std::vector<std::uint64_t> out = earlier;
    testing::internal::CaptureStderr();
    std::string message = "(no failure)";
    try {
        parallel_map(pool, Span(input), function, out);
    } catch (const FatalFailure& failure) {
        message = failure.message();
    }
    const std::string reports = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "element " + std::to_string(param.failing.front()) + " failed");
    EXPECT_EQ(out, earlier);
    // The failures were reported where they happened: on unnamed workers,
    // except for a one-element map, which runs on the caller.
    EXPECT_EQ(reports.find("thread '<unnamed>'") != std::string::npos, param.length > 1) << reports;
    const std::size_t last = param.failing.back();
    EXPECT_NE(reports.find("element " + std::to_string(last) + " failed"), std::string::npos);
    // Elements in other pieces than the failing ones still ran: here, every
    // element above the last failing one's half.
    if (param.length >= 2 && last < param.length / 2) {
        for (std::size_t i = param.length / 2; i < param.length; ++i) {
            ASSERT_TRUE(evaluated[i]) << i;
        }
    }

    std::vector<std::uint64_t> again;
    parallel_map(pool, Span(input), mix, again);
    EXPECT_EQ(again, serial_mix(input));
}

std::vector<FailureCase> failure_cases() {
    std::vector<FailureCase> table;
    for (const std::size_t threads : {1, 2, 3, 8}) {
        table.push_back({threads, 1000, {0}});
        table.push_back({threads, 1000, {500}});
        table.push_back({threads, 1000, {999}});
        table.push_back({threads, 1000, {0, 999}}); // one in each half
        table.push_back({threads, 1000, {100, 300, 600, 900}});
        table.push_back({threads, 2, {0, 1}});
    }
    table.push_back({3, 1, {0}}); // evaluated on the calling thread
    return table;
}

std::string failure_case_name(const testing::TestParamInfo<FailureCase>& info) {
    std::ostringstream name;
    name << info.param.threads << "threads_" << info.param.length << "_failing";
    for (const std::size_t k : info.param.failing)
        name << '_' << k;
    return name.str();
}

INSTANTIATE_TEST_SUITE_P(Pools, InjectedFailures, testing::ValuesIn(failure_cases()),
                         failure_case_name);

TEST(ParallelMap, OtherExceptionsReachTheCallerToo) {
    const std::vector<std::uint64_t> input = iota(100);
    std::vector<std::uint64_t> out;
    const auto function = [](std::uint64_t x) -> std::uint64_t {
        if (x == 77) throw std::out_of_range("seventy-seven");
        return x;
    };
    EXPECT_THROW(parallel_map(pool_of(3), Span(input), function, out), std::out_of_range);
    EXPECT_TRUE(out.empty());
}

// Eight threads map at once on one pool; some of their maps fail.
TEST(ParallelMap, ManyCallersShareOnePool) {
    for (const std::size_t threads : {1, 3, 8}) {
        WorkerPool& pool = pool_of(threads);
        std::atomic<int> wrong{0};
        std::vector<std::thread> callers;
        for (std::uint64_t t = 0; t < 8; ++t) {
            callers.emplace_back([&, t] {
                for (std::uint64_t round = 0; round < 10; ++round) {
                    const std::vector<std::uint64_t> input = iota(5000, t * 1000000 + round);
                    const bool failing = t % 3 == 2 && round % 2 == 1;
                    std::vector<std::uint64_t> out;
                    try {
                        parallel_map(
                            pool, Span(input),
                            [&](std::uint64_t x) {
                                if (failing && x == input[4321]) {
                                    throw FatalFailure("caller " + std::to_string(t));
                                }
                                return mix(x);
                            },
                            out);
                        if (failing || out != serial_mix(input)) wrong.fetch_add(1);
                    } catch (const FatalFailure& failure) {
                        if (!failing || failure.message() != "caller " + std::to_string(t) ||
                            !out.empty()) {
                            wrong.fetch_add(1);
                        }
                    }
                }
            });
        }
        for (std::thread& caller : callers)
            caller.join();
        EXPECT_EQ(wrong.load(), 0) << threads << " threads";
    }
}

// One element is evaluated by the caller itself; from two elements on, a
// thread outside the pool hands the work to the workers and only waits.
TEST(ParallelMap, WhereElementsRun) {
    WorkerPool& pool = pool_of(3);
    for (const std::size_t length : {0, 1, 2, 5}) {
        std::thread::id caller_id;
        std::vector<std::pair<std::thread::id, bool>> ran_on; // thread, whether a worker
        std::thread caller([&] {
            caller_id = std::this_thread::get_id();
            const std::vector<std::uint64_t> input = iota(length);
            parallel_map(
                pool, Span(input),
                [&](std::uint64_t) {
                    return std::pair{std::this_thread::get_id(), is_worker_of(pool)};
                },
                ran_on);
        });
        caller.join();
        ASSERT_EQ(ran_on.size(), length);
        for (const auto& [id, worker] : ran_on) {
            EXPECT_EQ(id == caller_id, length == 1) << length;
            EXPECT_EQ(worker, length != 1) << length;
        }
    }
}

// From outside the pool both closures run moved (inside the handed-in job);
// on a worker A runs unmoved here, and B is moved exactly when a thief took it.
TEST(RunPair, MovedFlags) {
    for (const std::size_t threads : {1, 2, 8}) {
        WorkerPool& pool = pool_of(threads);
        const auto moved = [](bool moved) { return moved; };
        const auto [a, b] = pool.run_pair(moved, moved);
        EXPECT_TRUE(a);
        EXPECT_TRUE(b);
        for (int round = 0; round < 200; ++round) {
            const auto [outer_a, outer_b] = pool.run_pair(
                [&](bool) {
                    const std::thread::id here = std::this_thread::get_id();
                    const auto [inner_a, inner_b] = pool.run_pair(
                        [&](bool moved) { return !moved && std::this_thread::get_id() == here; },
                        [&](bool moved) { return moved == (std::this_thread::get_id() != here); });
                    return inner_a && inner_b;
                },
                [](bool) { return true; });
            ASSERT_TRUE(outer_a) << threads << " threads, round " << round;
            ASSERT_TRUE(outer_b);
        }
    }
}

TEST(RunPair, FailureOfEitherClosureIsRethrown) {
    WorkerPool& pool = pool_of(2);
    const auto ok = [](bool) { return 1; };
    const auto bad = [](bool) -> int { throw FatalFailure("closure failed"); };
    for (const bool fail_a : {false, true}) {
        try {
            if (fail_a) {
                pool.run_pair(bad, ok);
            } else {
                pool.run_pair(ok, bad);
            }
            ADD_FAILURE() << "no failure";
        } catch (const FatalFailure& failure) {
            EXPECT_EQ(failure.message(), "closure failed");
        }
    }
}

// A thread starter that refuses the third thread and tracks the started ones.
std::atomic<int> starts{0};
std::atomic<int> alive{0};

struct Trampoline {
    void* (*routine)(void*);
    void* argument;
};

void* tracked(void* start) {
    const Trampoline trampoline = *static_cast<Trampoline*>(start);
    delete static_cast<Trampoline*>(start);
    void* result = trampoline.routine(trampoline.argument);
    alive.fetch_sub(1);
    return result;
}

int refuse_third(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                 void* argument) {
    if (starts.fetch_add(1) + 1 == 3) return EAGAIN;
    alive.fetch_add(1);
    auto* trampoline = new Trampoline{routine, argument};
    const int status = pthread_create(thread, attributes, &tracked, trampoline);
    if (status != 0) {
        delete trampoline;
        alive.fetch_sub(1);
    }
    return status;
}

TEST(WorkerPoolCreation, FailedThreadStopsTheStartedOnes) {
    starts = 0;
    alive = 0;
    // A pool that failed is kept allocated: its stopped workers may still read it.
    IGNORE_LEAKS_BEGIN();
    const WorkerPool::Creation creation = WorkerPool::create(5, &refuse_third);
    IGNORE_LEAKS_END();
    EXPECT_EQ(creation.pool, nullptr);
    EXPECT_NE(creation.error.find(std::strerror(EAGAIN)), std::string::npos) << creation.error;
    EXPECT_EQ(starts.load(), 3);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (alive.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(alive.load(), 0) << "started workers did not stop";
}

// A stack size that the thread library refuses fails the creation before any
// thread starts, rather than starting workers with some other stack.
TEST(WorkerPoolCreation, RefusedAttributesFailTheCreation) {
    starts = 0;
    const WorkerPool::Creation creation = WorkerPool::create(2, &refuse_third, 1);
    EXPECT_EQ(creation.pool, nullptr);
    EXPECT_NE(creation.error.find("pthread_attr_setstacksize"), std::string::npos)
        << creation.error;
    EXPECT_EQ(starts.load(), 0);
}

} // namespace
