// Helpers shared by the benchmark programs: argument generation, CPU clocks
// and the loop that cycles a call through pre-generated arguments.
//
// The separations below are also rebuilt by bench/bench_maps.py with the same
// operations in the same order, so the Python and C++ figures are measured on
// bit-identical inputs; change both together.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include <dirent.h>
#include <time.h>

namespace caustiqa::bench {

// Cycled argument sets hold this many entries, a power of two: the index
// wraps with a mask.
inline constexpr std::size_t cycle_count = 4096;
inline constexpr std::size_t cycle_mask = cycle_count - 1;

// `count` values uniform in [lo, hi) from a seeded engine.
inline std::vector<double> uniform(std::size_t count, double lo, double hi, unsigned seed) {
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<double> values(count);
    for (double& v : values)
        v = dist(engine);
    return values;
}

// hi * (j + 0.5) / count for j < count: midpoints of `count` equal cells of
// [0, hi), in increasing order.
inline std::vector<double> spread(std::size_t count, double hi) {
    std::vector<double> values(count);
    for (std::size_t j = 0; j < count; ++j) {
        values[j] = hi * (static_cast<double>(j) + 0.5) / static_cast<double>(count);
    }
    return values;
}

// hi * frac((i + 0.5) * (golden ratio - 1)) for i < count: every part of
// [0, hi) evenly covered, in an order with no run of similar values, so the
// branches of a kernel cannot be learnt from the order.
inline std::vector<double> scattered(std::size_t count, double hi) {
    constexpr double golden_fraction = 0.6180339887498949;
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = hi * std::fmod((static_cast<double>(i) + 0.5) * golden_fraction, 1.0);
    }
    return values;
}

// CPU time of the calling thread, in nanoseconds: unlike the wall clock it
// does not count the time other processes hold this core.
inline double thread_cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// CPU time of every thread of the process, in ns, with its thread id (from
// /proc/self/task). Linux encodes thread id TID as the clock id
// (~TID << 3) | 6 of that thread's CPU clock.
struct ThreadTimes {
    std::vector<std::pair<long, double>> on_cpu_ns;
};

inline ThreadTimes thread_times() {
    ThreadTimes times;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return times;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const long tid = std::atol(entry->d_name);
        const auto clock = static_cast<clockid_t>((~tid << 3) | 6);
        timespec t;
        if (clock_gettime(clock, &t) == 0) {
            times.on_cpu_ns.emplace_back(tid, static_cast<double>(t.tv_sec) * 1e9 +
                                                  static_cast<double>(t.tv_nsec));
        }
    }
    closedir(dir);
    return times;
}

// CPU time spent between two snapshots by all threads together and by the
// busiest one. The latter is the critical path of a parallel section on an
// otherwise idle machine, as long as no thread waited for another on a CPU.
// (The process CPU clock would leave out the current slice of every thread
// running on another core.)
struct ThreadTimeDelta {
    double total_ns = 0;
    double busiest_ns = 0;
};

inline ThreadTimeDelta thread_time_delta(const ThreadTimes& before, const ThreadTimes& after) {
    ThreadTimeDelta delta;
    for (const auto& [tid, ns] : after.on_cpu_ns) {
        double start = 0;
        for (const auto& [old_tid, old_ns] : before.on_cpu_ns) {
            if (old_tid == tid) start = old_ns;
        }
        delta.total_ns += ns - start;
        delta.busiest_ns = std::max(delta.busiest_ns, ns - start);
    }
    return delta;
}

// Runs call(i) once per benchmark iteration with i cycling through
// [0, cycle_count); the result goes through DoNotOptimize.
template <class F> void cycle(benchmark::State& state, F call) {
    std::size_t i = 0;
    for (auto _ : state) {
        auto result = call(i);
        benchmark::DoNotOptimize(result);
        i = (i + 1) & cycle_mask;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace caustiqa::bench
