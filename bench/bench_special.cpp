// Cost per call of the elliptic integrals and of the thin-ring magnification.
//
// Every benchmark cycles through 4096 pre-generated arguments, so the compiler
// can neither hoist a call out of the loop nor fold it to a constant, and every
// result goes through benchmark::DoNotOptimize. The reported time is per call.
//
//   bench_special                                   full run (a few seconds)
//   bench_special --benchmark_min_time=0.01         smoke pass
//   bench_special --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// BM_ring_over_k_plus_pi times the ring and ellipk(m) + ellippi(n, m) on the
// same arguments in alternating blocks and reports their ratio as a counter.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_util.h"
#include "lensing/kernels/thin_ring.h"
#include "lensing/sources/discrete_rings.h"
#include "special/complete.h"
#include "special/ellippi.h"

namespace {

using caustiqa::lensing::thin_ring_magnification;
using caustiqa::special::ellipe;
using caustiqa::special::ellipk;
using caustiqa::special::ellippi;
using caustiqa::special::ValueOrError;

using caustiqa::bench::cycle;
using caustiqa::bench::thread_cpu_ns;

constexpr std::size_t count = caustiqa::bench::cycle_count;

std::vector<double> uniform(double lo, double hi, unsigned seed) {
    return caustiqa::bench::uniform(count, lo, hi, seed);
}

// A ring on its closed-form branch, with the (n, m) that the ring computes.
struct Ring {
    double l, r, re, rstar;
    double n, m;
};

// l, r uniform in (0, 2), w = re / rstar log-uniform in [0.1, 10]; rings
// closer than 1e-3 to the lens are redrawn, so none takes the series branch.
std::vector<Ring> make_rings() {
    std::mt19937_64 engine(20240611);
    std::uniform_real_distribution<double> radius(0.0, 2.0);
    std::uniform_real_distribution<double> log_w(std::log(0.1), std::log(10.0));
    std::vector<Ring> rings;
    rings.reserve(count);
    while (rings.size() < count) {
        const double l = radius(engine);
        const double r = radius(engine);
        const double re = std::exp(log_w(engine));
        if (l == 0 || r == 0 || std::fabs(r - l) < 1e-3) continue;
        // The same operations, in the same order, as the ring's closed form.
        const double w = re / 1.0;
        const double w2 = w * w;
        const double delta = r - l;
        const double s = l + r;
        const double q2 = w2 * 4 + delta * delta;
        const double k = std::sqrt((l * r) / q2) * ((w * 4) / s);
        const double n = ((l * 4) * r) / (s * s);
        rings.push_back({l, r, re, 1.0, n, k * k});
    }
    return rings;
}

const std::vector<double>& poly_m() {
    static const std::vector<double> values = uniform(0.0, 0.9, 1);
    return values;
}
const std::vector<double>& agm_m() {
    static const std::vector<double> values = uniform(0.9, 1.0, 2);
    return values;
}
const std::vector<Ring>& rings() {
    static const std::vector<Ring> values = make_rings();
    return values;
}

// Aborts unless the ring, rebuilt from K(m) and Pi(n, m) at the stored (n, m),
// equals thin_ring_magnification bit for bit: the K + Pi benchmarks then time
// exactly the calls the ring makes.
void check_ring_arguments() {
    for (const Ring& g : rings()) {
        const double w2 = g.re * g.re;
        const double delta = g.r - g.l;
        const double s = g.l + g.r;
        const double q2 = w2 * 4 + delta * delta;
        const double big_k = ellipk(g.m).value();
        const double big_pi = ellippi(g.n, g.m).value();
        const double rebuilt =
            (((w2 + w2) * big_k + (delta * delta) * big_pi) * (4 / (s * std::sqrt(q2)))) /
            6.283185307179586;
        const ValueOrError ring = thin_ring_magnification(g.l, g.r, g.re, g.rstar);
        if (ring.is_error() || ring.value() != rebuilt) {
            std::fprintf(stderr,
                         "ring arguments differ from the ring's own (n, m) at "
                         "l=%.17g r=%.17g w=%.17g\n",
                         g.l, g.r, g.re);
            std::exit(1);
        }
    }
}

void BM_ellipk_poly(benchmark::State& state) {
    const double* m = poly_m().data();
    cycle(state, [m](std::size_t i) { return ellipk(m[i]); });
}
void BM_ellipk_agm(benchmark::State& state) {
    const double* m = agm_m().data();
    cycle(state, [m](std::size_t i) { return ellipk(m[i]); });
}
void BM_ellipe_poly(benchmark::State& state) {
    const double* m = poly_m().data();
    cycle(state, [m](std::size_t i) { return ellipe(m[i]); });
}
void BM_ellipe_agm(benchmark::State& state) {
    const double* m = agm_m().data();
    cycle(state, [m](std::size_t i) { return ellipe(m[i]); });
}
void BM_ellippi_ring(benchmark::State& state) {
    const Ring* g = rings().data();
    cycle(state, [g](std::size_t i) { return ellippi(g[i].n, g[i].m); });
}
void BM_thin_ring(benchmark::State& state) {
    const Ring* g = rings().data();
    cycle(state, [g](std::size_t i) {
        return thin_ring_magnification(g[i].l, g[i].r, g[i].re, g[i].rstar);
    });
}
void BM_ring_k_plus_pi(benchmark::State& state) {
    const Ring* g = rings().data();
    cycle(state, [g](std::size_t i) {
        return ValueOrError::value_of(ellipk(g[i].m).value() + ellippi(g[i].n, g[i].m).value());
    });
}

// Alternating blocks of 4096 rings and of 4096 K + Pi pairs on the same
// arguments; the order flips every iteration. Counters: CPU ns per call of
// each (from the totals), their ratio, and the ratio of the fastest blocks.
void BM_ring_over_k_plus_pi(benchmark::State& state) {
    const Ring* g = rings().data();
    const auto ring_block = [g] {
        const double start = thread_cpu_ns();
        for (std::size_t i = 0; i < count; ++i) {
            ValueOrError result = thin_ring_magnification(g[i].l, g[i].r, g[i].re, g[i].rstar);
            benchmark::DoNotOptimize(result);
        }
        return thread_cpu_ns() - start;
    };
    const auto parts_block = [g] {
        const double start = thread_cpu_ns();
        for (std::size_t i = 0; i < count; ++i) {
            ValueOrError k = ellipk(g[i].m);
            benchmark::DoNotOptimize(k);
            ValueOrError pi = ellippi(g[i].n, g[i].m);
            benchmark::DoNotOptimize(pi);
        }
        return thread_cpu_ns() - start;
    };
    double ring_total = 0, parts_total = 0;
    double ring_best = INFINITY, parts_best = INFINITY;
    bool ring_first = true;
    for (auto _ : state) {
        double ring_ns, parts_ns;
        if (ring_first) {
            ring_ns = ring_block();
            parts_ns = parts_block();
        } else {
            parts_ns = parts_block();
            ring_ns = ring_block();
        }
        ring_first = !ring_first;
        ring_total += ring_ns;
        parts_total += parts_ns;
        ring_best = std::min(ring_best, ring_ns);
        parts_best = std::min(parts_best, parts_ns);
    }
    const double calls = static_cast<double>(state.iterations()) * count;
    state.counters["ring_ns"] = ring_total / calls;
    state.counters["k_plus_pi_ns"] = parts_total / calls;
    state.counters["ratio"] = ring_total / parts_total;
    state.counters["ratio_best"] = ring_best / parts_best;
}

// The evaluation behind heyrovsky_magnification(0.5, 0.3, 1.0, 1.0); the
// boundary script subtracts it from the Python call. Keep the two in step.
void BM_thin_ring_fixed(benchmark::State& state) {
    double l = 0.5, r = 0.3, re = 1.0, rstar = 1.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(l);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(re);
        benchmark::DoNotOptimize(rstar);
        ValueOrError result = thin_ring_magnification(l, r, re, rstar);
        benchmark::DoNotOptimize(result);
    }
}

// The computation behind discrete_flux_map_heyrovsky_magnification for the
// boundary script's case: l[j] = 3 (j + 0.5) / 10000, ten rings at
// (i + 0.5) / 10 with weight 0.1, re = rstar = 1. Keep the two in step.
void BM_discrete_rings_10000x10(benchmark::State& state) {
    const std::vector<double> l = caustiqa::bench::spread(10000, 3.0);
    const std::vector<double> radii = caustiqa::bench::spread(10, 1.0);
    const std::vector<double> weights(10, 0.1);
    for (auto _ : state) {
        auto sums = caustiqa::lensing::discrete_flux_map_heyrovsky_magnification(l, 1.0, 1.0, radii,
                                                                                 weights);
        benchmark::DoNotOptimize(sums.values.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() *
                            static_cast<std::int64_t>(l.size() * radii.size()));
}

BENCHMARK(BM_ellipk_poly);
BENCHMARK(BM_ellipk_agm);
BENCHMARK(BM_ellipe_poly);
BENCHMARK(BM_ellipe_agm);
BENCHMARK(BM_ellippi_ring);
BENCHMARK(BM_thin_ring);
BENCHMARK(BM_ring_k_plus_pi);
BENCHMARK(BM_ring_over_k_plus_pi)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_thin_ring_fixed);
BENCHMARK(BM_discrete_rings_10000x10)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    check_ring_arguments();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
