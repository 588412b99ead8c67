// Cost of the uniform-disc magnification, of its parallel map over an array
// of separations, and of the four functions that integrate over the source
// radius with the tanh-sinh quadrature.
//
//   bench_lensing                                  full run (about a minute)
//   bench_lensing --quick                          small sizes, a few seconds
//   bench_lensing --quick --benchmark_min_time=0.01   smoke pass
//   RAYON_NUM_THREADS=1 bench_lensing --benchmark_filter=map   the map on one worker
//
// BM_uniform_disc: one disc evaluation on the general branch, cycling through
// 4096 (u, rho) with rho log-uniform in [1e-3, 1] and u / rho uniform in
// [0, 10], none within ten band widths of the edge u = rho.
//
// BM_uniform_disc_far_field: one evaluation on the far-field branch, cycling
// through 4096 (u, rho) with rho log-uniform in [1e-3, 1] and u / rho
// log-uniform in [1e3, 1e6].
//
// BM_disc_batch/<path>, BM_ring_batch/<path>: the batch kernels on each path
// the CPU supports (scalar = the scalar kernel in a loop), on the discs of
// BM_uniform_disc and on 4096 rings off the series band; CPU ns per evaluation.
//
// BM_uniform_disc_loop, BM_disc_map_chunk and BM_witt_mao_map: the same 10^6
// separations (l in [0, 10), rho = 0.1), as a bare serial loop of the scalar
// disc, through disc_map_chunk (the batch disc on the active path) on this
// thread, and through witt_mao_magnification on the process-wide pool.
// CAUSTIQA_KERNELS=scalar|sse2|avx2|avx512 caps the active path.
//
// BM_integrated_*: the four integrated functions on 10,000 separations spread
// over [0, 3] (flux maps: a 100-knot table). Each iteration runs the library
// function on all separations and, separately, its integrand alone at the
// points the quadrature sampled, taking turns on blocks of 100 separations;
// the time shown is the CPU time of the library function. Counters: integrand
// evaluations per element, the cost of one scalar integrand evaluation and
// ratio = cost of the function / cost of its integrand evaluations (below 1
// where the function's quadratures evaluate their points in lanes: then
// 1 / ratio is the gain over the scalar kernels).
// The sample points come from a copy of each function's quadrature with a
// recording integrand; at start-up of each case that copy must reproduce the
// library's results bit for bit, else the program stops.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bench_util.h"
#include "lensing/arrays/disc_maps.h"
#include "lensing/kernels/batch_kernels.h"
#include "lensing/kernels/uniform_disc.h"
#include "lensing/sources/flux_map.h"
#include "lensing/sources/limb_darkening.h"
#include "lensing/sources/ring_integral.h"
#include "lensing/sources/tabulated_profile.h"
#include "parallel/worker_pool.h"
#include "quadrature/tanh_sinh.h"

namespace {

using caustiqa::bench::thread_cpu_ns;
using caustiqa::lensing::uniform_disc_magnification;
using caustiqa::quadrature::QuadratureResult;

// Sizes of the array cases; --quick shrinks them.
struct Sizes {
    std::size_t map_separations = 1000000;
    std::size_t integrated_separations = 10000;
};
Sizes sizes;

// Map inputs: separations in source radii and the radii giving rho = 0.1.
constexpr double map_re = 1.0;
constexpr double map_rstar = 0.1;
constexpr double map_span = 10.0;
// Integrated inputs: separations spread over [0, integrated_span).
constexpr double integrated_span = 3.0;
constexpr double integrated_re = 1.0;
constexpr double integrated_rstar = 1.0;
constexpr std::size_t table_knots = 100;

// ---------------------------------------------------------------------------
// One disc evaluation.

struct DiscArgument {
    double u, rho;
};

std::vector<DiscArgument> make_disc_arguments() {
    std::mt19937_64 engine(20240612);
    std::uniform_real_distribution<double> log_rho(std::log(1e-3), 0.0);
    std::uniform_real_distribution<double> ratio(0.0, 10.0);
    std::vector<DiscArgument> arguments;
    arguments.reserve(caustiqa::bench::cycle_count);
    while (arguments.size() < caustiqa::bench::cycle_count) {
        const double rho = std::exp(log_rho(engine));
        const double t = ratio(engine);
        if (std::fabs(t - 1) < 0.01) continue; // the edge band is |u - rho| < 0.001 rho
        arguments.push_back({t * rho, rho});
    }
    return arguments;
}

void BM_uniform_disc(benchmark::State& state) {
    static const std::vector<DiscArgument> arguments = make_disc_arguments();
    const DiscArgument* a = arguments.data();
    caustiqa::bench::cycle(
        state, [a](std::size_t i) { return uniform_disc_magnification(a[i].u, a[i].rho); });
}

std::vector<DiscArgument> make_far_field_arguments() {
    std::mt19937_64 engine(20240613);
    std::uniform_real_distribution<double> log_rho(std::log(1e-3), 0.0);
    std::uniform_real_distribution<double> log_ratio(std::log(1e3), std::log(1e6));
    std::vector<DiscArgument> arguments(caustiqa::bench::cycle_count);
    for (DiscArgument& a : arguments) {
        a.rho = std::exp(log_rho(engine));
        a.u = std::fmax(std::exp(log_ratio(engine)), 1e3) * a.rho;
    }
    return arguments;
}

void BM_uniform_disc_far_field(benchmark::State& state) {
    static const std::vector<DiscArgument> arguments = make_far_field_arguments();
    const DiscArgument* a = arguments.data();
    caustiqa::bench::cycle(
        state, [a](std::size_t i) { return uniform_disc_magnification(a[i].u, a[i].rho); });
}

// ---------------------------------------------------------------------------
// The batch kernels on each path the CPU supports (scalar: the scalar kernel
// in a loop), over the same 4096 discs, and over 4096 rings: l, r uniform in
// (0, 2), none within 1e-3 of the lens, w = re / rstar log-uniform in
// [0.1, 10], one w per run of 64 rings (the ring batch shares re and rstar).
// Counter ns_per_eval: CPU time per evaluation.

struct RingRuns {
    std::vector<double> l, r, re;
    static constexpr std::size_t run = 64;
    RingRuns() {
        std::mt19937_64 engine(20240611);
        std::uniform_real_distribution<double> radius(0.0, 2.0);
        std::uniform_real_distribution<double> log_w(std::log(0.1), std::log(10.0));
        while (l.size() < caustiqa::bench::cycle_count) {
            const double a = radius(engine);
            const double b = radius(engine);
            if (a == 0 || b == 0 || std::fabs(b - a) < 1e-3) continue;
            l.push_back(a);
            r.push_back(b);
        }
        for (std::size_t i = 0; i < l.size(); i += run)
            re.push_back(std::exp(log_w(engine)));
    }
};

template <class Batch> void time_batch(benchmark::State& state, std::size_t n, Batch batch) {
    double cpu = 0;
    for (auto _ : state) {
        const double start = thread_cpu_ns();
        batch();
        benchmark::ClobberMemory();
        cpu += thread_cpu_ns() - start;
    }
    state.counters["ns_per_eval"] = cpu / (static_cast<double>(state.iterations()) * n);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

void BM_disc_batch(benchmark::State& state, caustiqa::lanes::KernelPath path) {
    static const std::vector<DiscArgument> arguments = make_disc_arguments();
    std::vector<double> u, rho, out(arguments.size());
    for (const DiscArgument& a : arguments) {
        u.push_back(a.u);
        rho.push_back(a.rho);
    }
    time_batch(state, u.size(), [&] {
        caustiqa::lensing::uniform_disc_magnification_batch(path, u.data(), rho.data(), out.data(),
                                                            u.size());
        benchmark::DoNotOptimize(out.data());
    });
}

void BM_ring_batch(benchmark::State& state, caustiqa::lanes::KernelPath path) {
    static const RingRuns rings;
    std::vector<double> out(rings.l.size());
    time_batch(state, rings.l.size(), [&] {
        for (std::size_t k = 0; k < rings.re.size(); ++k) {
            const std::size_t first = k * RingRuns::run;
            caustiqa::lensing::thin_ring_magnification_batch(path, &rings.l[first], &rings.r[first],
                                                             rings.re[k], 1.0, &out[first],
                                                             RingRuns::run);
        }
        benchmark::DoNotOptimize(out.data());
    });
}

// ---------------------------------------------------------------------------
// The disc over an array: a bare loop, the chunk kernel that the map's leaves
// run (on the active path, over the whole array on this thread) and the
// parallel map.

const std::vector<double>& map_separations() {
    static const std::vector<double> values =
        caustiqa::bench::scattered(sizes.map_separations, map_span);
    return values;
}

void set_per_element(benchmark::State& state, const char* name, double total_ns, double elements) {
    state.counters[name] = total_ns / (static_cast<double>(state.iterations()) * elements);
}

void BM_uniform_disc_loop(benchmark::State& state) {
    const std::vector<double>& l = map_separations();
    const double rho = map_rstar / map_re;
    std::vector<double> out(l.size());
    double cpu = 0;
    for (auto _ : state) {
        const double start = thread_cpu_ns();
        for (std::size_t i = 0; i < l.size(); ++i) {
            out[i] = uniform_disc_magnification(l[i] * rho, rho);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        cpu += thread_cpu_ns() - start;
    }
    const auto n = static_cast<double>(l.size());
    set_per_element(state, "ns_per_element", cpu, n);
    state.counters["elements"] = n;
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(l.size()));
}

void BM_disc_map_chunk(benchmark::State& state) {
    const std::vector<double>& l = map_separations();
    const double rho = map_rstar / map_re;
    std::vector<double> out(l.size());
    time_batch(state, l.size(), [&] {
        caustiqa::lensing::disc_map_chunk(rho, l.data(), l.size(), out.data());
        benchmark::DoNotOptimize(out.data());
    });
    state.counters["elements"] = static_cast<double>(l.size());
}

// Wall time per iteration (the map runs on the workers, not on this thread).
// Counters per element: wall_ns, cpu_ns (all threads of the process) and
// busiest_thread_ns (the thread that ran longest: the wall time the map would
// take on an idle machine); threads = size of the pool.
void BM_witt_mao_map(benchmark::State& state) {
    const std::vector<double>& l = map_separations();
    {
        // Starts the pool outside the timed region.
        const std::vector<double> warm = caustiqa::lensing::witt_mao_magnification(
            std::span<const double>(l).first(std::min<std::size_t>(l.size(), 1000)), map_re,
            map_rstar);
        benchmark::DoNotOptimize(warm.data());
    }
    double wall = 0, cpu = 0, busiest = 0;
    for (auto _ : state) {
        const auto threads_before = caustiqa::bench::thread_times();
        const auto wall_start = std::chrono::steady_clock::now();
        std::vector<double> result =
            caustiqa::lensing::witt_mao_magnification(l, map_re, map_rstar);
        benchmark::DoNotOptimize(result.data());
        benchmark::ClobberMemory();
        wall +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - wall_start)
                .count();
        const auto delta =
            caustiqa::bench::thread_time_delta(threads_before, caustiqa::bench::thread_times());
        cpu += delta.total_ns;
        busiest += delta.busiest_ns;
    }
    const auto n = static_cast<double>(l.size());
    set_per_element(state, "wall_ns", wall, n);
    set_per_element(state, "cpu_ns", cpu, n);
    set_per_element(state, "busiest_thread_ns", busiest, n);
    state.counters["threads"] = static_cast<double>(caustiqa::parallel::pool_thread_count());
    state.counters["elements"] = n;
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(l.size()));
}

// ---------------------------------------------------------------------------
// Integrated functions.
//
// A case gives the library function over an array (`library`), the
// integrand for one separation (`integrand`) and the library's computation of
// one element with a given integrand in its place (`element`): the same
// quadrature call, interval, split and final arithmetic as the library.

using caustiqa::pi;
using caustiqa::two_pi;
using caustiqa::quadrature::one_point;
using caustiqa::quadrature::tolerance;

struct WittMaoCase {
    static constexpr const char* name = "BM_integrated_witt_mao";
    double re = integrated_re, rstar = integrated_rstar;
    double rho = caustiqa::lensing::source_rho(re, rstar);

    std::vector<double> library(std::span<const double> l) const {
        return caustiqa::lensing::integrated_witt_mao_magnification(l, re, rstar);
    }
    auto integrand(double l) const {
        const double u = l * rho;
        return one_point([u, rho = rho](const double* x, double* values, std::size_t n) {
            caustiqa::lensing::detail::mu_weighted_integrand(u, rho, x, n, values);
        });
    }
    template <class F> double element(double l, const F& f, QuadratureResult& q) const {
        const double u = l * rho;
        q = caustiqa::quadrature::tanh_sinh_integrate(f, 0.0, 1.0, tolerance);
        const double a = uniform_disc_magnification(u, rho);
        return ((0.6 * q.integral + 0.4 * a) * pi) / caustiqa::lensing::limb_darkened_flux;
    }
};

// The thin-ring cases call the library's own ring_integrand.
template <class F> double ring_element(double l, const F& f, QuadratureResult& q, double flux) {
    q = caustiqa::quadrature::tanh_sinh_integrate_split(f, l, tolerance);
    if (q.finite_samples == 0) return caustiqa::not_a_number;
    return q.integral / flux;
}

struct HeyrovskyCase {
    static constexpr const char* name = "BM_integrated_heyrovsky";
    double re = integrated_re, rstar = integrated_rstar;

    std::vector<double> library(std::span<const double> l) const {
        return caustiqa::lensing::integrated_heyrovsky_magnification(l, re, rstar);
    }
    auto integrand(double l) const {
        return one_point([l, re = re, rstar = rstar](const double* r, double* values,
                                                     std::size_t n) {
            caustiqa::lensing::ring_integrand(r, n, l, re, rstar,
                                              caustiqa::lensing::limb_darkening_profile, values);
        });
    }
    template <class F> double element(double l, const F& f, QuadratureResult& q) const {
        return ring_element(l, f, q, caustiqa::lensing::limb_darkened_flux);
    }
};

// The 100-knot table: radii k / 99, brightness of the linear limb-darkening
// law with coefficient 0.6 (bench_maps.py builds the same table).
struct Table {
    std::vector<double> bl, bf;
    Table() {
        for (std::size_t k = 0; k < table_knots; ++k) {
            const double b = static_cast<double>(k) / static_cast<double>(table_knots - 1);
            bl.push_back(b);
            bf.push_back(1.0 - 0.6 * (1.0 - std::sqrt(1.0 - b * b)));
        }
    }
};

struct FluxMapWittMaoCase {
    static constexpr const char* name = "BM_integrated_flux_map_witt_mao";
    double re = integrated_re, rstar = integrated_rstar;
    double rho = caustiqa::lensing::source_rho(re, rstar);
    Table table;
    caustiqa::lensing::TabulatedProfile profile{table.bl, table.bf};
    double flux = caustiqa::lensing::profile_flux(profile);

    std::vector<double> library(std::span<const double> l) const {
        return caustiqa::lensing::integrated_flux_map_witt_mao_magnification(l, re, rstar, table.bl,
                                                                             table.bf);
    }
    auto integrand(double l) const {
        const double u = l * rho;
        return one_point([this, u](const double* r, double* values, std::size_t n) {
            caustiqa::lensing::detail::annulus_integrand(r, n, u, rho, profile, values);
        });
    }
    template <class F> double element(double l, const F& f, QuadratureResult& q) const {
        q = caustiqa::quadrature::tanh_sinh_integrate_split(f, l, tolerance);
        if (q.finite_samples == 0) return caustiqa::not_a_number;
        return q.integral / flux;
    }
};

struct FluxMapHeyrovskyCase {
    static constexpr const char* name = "BM_integrated_flux_map_heyrovsky";
    double re = integrated_re, rstar = integrated_rstar;
    Table table;
    caustiqa::lensing::TabulatedProfile profile{table.bl, table.bf};
    double flux = caustiqa::lensing::profile_flux(profile);

    std::vector<double> library(std::span<const double> l) const {
        return caustiqa::lensing::integrated_flux_map_heyrovsky_magnification(l, re, rstar,
                                                                              table.bl, table.bf);
    }
    auto integrand(double l) const {
        return one_point([this, l](const double* r, double* values, std::size_t n) {
            caustiqa::lensing::ring_integrand(r, n, l, re, rstar, profile, values);
        });
    }
    template <class F> double element(double l, const F& f, QuadratureResult& q) const {
        return ring_element(l, f, q, flux);
    }
};

// Equal bit for bit, or both NaN.
bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// The separations of a case, the points its quadratures sampled (those of
// separation j at offsets[j] .. offsets[j + 1]) and their count.
template <class Case> struct Sampled {
    Case c;
    std::vector<double> l;
    std::vector<double> points;
    std::vector<std::size_t> offsets;
    std::uint64_t evaluations = 0;

    Sampled() : l(caustiqa::bench::spread(sizes.integrated_separations, integrated_span)) {
        const std::vector<double> expected = c.library(l);
        offsets.push_back(0);
        for (std::size_t j = 0; j < l.size(); ++j) {
            const auto g = c.integrand(l[j]);
            const auto recording = [&](double r) {
                points.push_back(r);
                return g(r);
            };
            QuadratureResult q{};
            const double value = c.element(l[j], recording, q);
            evaluations += q.evaluations;
            offsets.push_back(points.size());
            if (!same_bits(value, expected[j]) || points.size() - offsets[j] != q.evaluations) {
                std::fprintf(stderr,
                             "%s: the copied quadrature gives %.17g at l=%.17g, the library "
                             "%.17g (%u evaluations, %zu recorded); the benchmark's integrand no "
                             "longer matches the library's\n",
                             Case::name, value, l[j], expected[j], q.evaluations,
                             points.size() - offsets[j]);
                std::exit(1);
            }
        }
    }

    // The integrand alone at the recorded points of separations first ..
    // first + count - 1, in the quadrature's order.
    void integrand_pass(std::size_t first, std::size_t count) const {
        for (std::size_t j = first; j < first + count; ++j) {
            const auto g = c.integrand(l[j]);
            for (std::size_t k = offsets[j]; k < offsets[j + 1]; ++k) {
                double value = g(points[k]);
                benchmark::DoNotOptimize(value);
            }
        }
    }
};

// Separations per block: the library function and the integrand pass take
// turns on blocks this long, so that a change of load on the machine hits both
// alike.
constexpr std::size_t block_separations = 100;

// The reported time is the CPU time of the library function on all
// separations; the integrand passes are not in it.
template <class Case> void BM_integrated(benchmark::State& state) {
    static const Sampled<Case> sampled;
    const std::size_t n = sampled.l.size();
    const auto library_block = [&](std::size_t first, std::size_t count) {
        const double start = thread_cpu_ns();
        std::vector<double> result =
            sampled.c.library(std::span<const double>(sampled.l).subspan(first, count));
        benchmark::DoNotOptimize(result.data());
        benchmark::ClobberMemory();
        return thread_cpu_ns() - start;
    };
    const auto integrand_block = [&](std::size_t first, std::size_t count) {
        const double start = thread_cpu_ns();
        sampled.integrand_pass(first, count);
        return thread_cpu_ns() - start;
    };
    double library_total = 0, integrand_total = 0;
    bool library_first = true;
    for (auto _ : state) {
        double library_ns = 0;
        for (std::size_t first = 0; first < n; first += block_separations) {
            const std::size_t count = std::min(block_separations, n - first);
            if (library_first) {
                library_ns += library_block(first, count);
                integrand_total += integrand_block(first, count);
            } else {
                integrand_total += integrand_block(first, count);
                library_ns += library_block(first, count);
            }
            library_first = !library_first;
        }
        library_total += library_ns;
        state.SetIterationTime(library_ns * 1e-9);
    }
    const auto iterations = static_cast<double>(state.iterations());
    const auto evaluations = static_cast<double>(sampled.evaluations);
    state.counters["ns_per_element"] = library_total / (iterations * static_cast<double>(n));
    state.counters["evaluations"] = evaluations / static_cast<double>(n);
    state.counters["integrand_ns"] = integrand_total / (iterations * evaluations);
    state.counters["ratio"] = library_total / integrand_total;
    state.counters["elements"] = static_cast<double>(n);
}

void register_benchmarks() {
    benchmark::RegisterBenchmark("BM_uniform_disc", BM_uniform_disc);
    benchmark::RegisterBenchmark("BM_uniform_disc_far_field", BM_uniform_disc_far_field);
    using caustiqa::lanes::KernelPath;
    for (KernelPath path = 0; path < caustiqa::lanes::kernel_path_count(); ++path) {
        if (!caustiqa::lanes::kernel_path_supported(path)) continue;
        const std::string name = caustiqa::lanes::kernel_path_name(path);
        benchmark::RegisterBenchmark(("BM_disc_batch/" + name).c_str(), BM_disc_batch, path);
        benchmark::RegisterBenchmark(("BM_ring_batch/" + name).c_str(), BM_ring_batch, path);
    }
    benchmark::RegisterBenchmark("BM_uniform_disc_loop", BM_uniform_disc_loop)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_disc_map_chunk", BM_disc_map_chunk)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_witt_mao_map", BM_witt_mao_map)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(WittMaoCase::name, BM_integrated<WittMaoCase>)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(HeyrovskyCase::name, BM_integrated<HeyrovskyCase>)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(FluxMapWittMaoCase::name, BM_integrated<FluxMapWittMaoCase>)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(FluxMapHeyrovskyCase::name, BM_integrated<FluxMapHeyrovskyCase>)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv) {
    // --quick (ours, removed before Google Benchmark sees the arguments):
    // 10^4 map separations and 100 integrated ones.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            sizes = Sizes{10000, 100};
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    register_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
