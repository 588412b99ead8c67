#include "lensing/kernels/batch_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "lensing/kernels/thin_ring.h"
#include "lensing/kernels/uniform_disc.h"
#include "lensing/sources/flux_map.h"
#include "lensing/sources/limb_darkening.h"
#include "reference/integrated_snapshot.h"
#include "relative_error.h"

namespace caustiqa::lensing {
namespace {

using namespace lanes;

using testing::same_double;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t cases = std::size_t{1} << 20;

const double special_values[] = {nan, inf, -inf, 0.0, -0.0, -1.0, 1.0, 5e-324, 1e300, -2.5};

// Mostly ordinary points, with a special value in about one argument in 64,
// so that over 2^20 cases each reaches every lane position many times.
struct Generator {
    std::mt19937_64 engine{20260112};
    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<>(lo, hi)(engine);
    }
    double log_uniform(double lo, double hi) {
        return std::exp(uniform(std::log(lo), std::log(hi)));
    }
    double maybe_special(double x) {
        if (engine() % 64 != 0) return x;
        return special_values[engine() % std::size(special_values)];
    }
};

// Separations in disc radii by regime: inside, outside, around the edge band,
// the far field, the centre.
double disc_ratio(Generator& g) {
    switch (g.engine() % 8) {
    case 0:
        return g.uniform(0, 1);
    case 1:
        return 1 + g.uniform(-0.003, 0.003);
    case 2:
        return g.log_uniform(1e2, 1e7);
    case 3:
        return g.engine() % 4 == 0 ? 0.0 : g.log_uniform(1e-9, 1e-3);
    default:
        return g.uniform(0, 10);
    }
}

// Ring radii by regime: the series band and just outside it, far rings,
// rings near the centre, ordinary rings.
double ring_radius(Generator& g, double l) {
    switch (g.engine() % 8) {
    case 0:
        return l + g.uniform(-3e-5, 3e-5);
    case 1:
        return l * (1 + g.uniform(-2e-3, 2e-3));
    case 2:
        return g.engine() % 4 == 0 ? 0.0 : g.log_uniform(1e-9, 1e-3);
    default:
        return g.uniform(0, 1.2);
    }
}

// Runs of 1 to 40 points, so that blocks end at every lane position.
template <class Call> void in_runs(Generator& g, std::size_t n, Call call) {
    for (std::size_t first = 0; first < n;) {
        const std::size_t count = std::min<std::size_t>(1 + g.engine() % 40, n - first);
        call(first, count);
        first += count;
    }
}

std::vector<KernelPath> supported_paths() {
    std::vector<KernelPath> paths;
    for (KernelPath p = 0; p < kernel_path_count(); ++p)
        if (kernel_path_supported(p)) paths.push_back(p);
    return paths;
}

TEST(BatchKernels, DiscEqualsScalarKernelOnEveryPath) {
    std::printf("active path: %s\n", kernel_path_name(active_kernel_path()));
    ASSERT_TRUE(kernel_path_supported(active_kernel_path()));
    Generator g;
    std::vector<double> u(cases), rho(cases), expected(cases);
    for (std::size_t i = 0; i < cases; ++i) {
        rho[i] = g.maybe_special(g.log_uniform(1e-7, 10));
        u[i] = g.maybe_special(disc_ratio(g) * rho[i]);
        expected[i] = uniform_disc_magnification(u[i], rho[i]);
    }
    for (const KernelPath path : supported_paths()) {
        std::vector<double> out(cases);
        in_runs(g, cases, [&](std::size_t first, std::size_t count) {
            uniform_disc_magnification_batch(path, &u[first], &rho[first], &out[first], count);
        });
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < cases; ++i) {
            if (same_double(out[i], expected[i])) continue;
            if (++mismatches <= 5) {
                ADD_FAILURE() << kernel_path_name(path) << ": u = " << u[i] << ", rho = " << rho[i]
                              << ": " << out[i] << " against " << expected[i];
            }
        }
        EXPECT_EQ(mismatches, 0u) << kernel_path_name(path);
        std::printf("disc %-6s %zu cases, %zu mismatches\n", kernel_path_name(path), cases,
                    mismatches);
    }
}

TEST(BatchKernels, RingEqualsScalarKernelOnEveryPath) {
    Generator g;
    std::vector<double> l(cases), r(cases);
    for (std::size_t i = 0; i < cases; ++i) {
        l[i] = g.engine() % 16 == 0 ? g.log_uniform(1e2, 1e5) : g.uniform(0, 3);
        r[i] = g.maybe_special(ring_radius(g, l[i]));
        l[i] = g.maybe_special(l[i]);
    }
    // One (re, rstar) per run, as the quadratures call it; some of them special.
    struct Run {
        std::size_t first, count;
        double re, rstar;
    };
    std::vector<Run> runs;
    in_runs(g, cases, [&](std::size_t first, std::size_t count) {
        runs.push_back({first, count, g.maybe_special(g.log_uniform(0.1, 10)), 1.0});
    });
    std::vector<double> expected(cases);
    for (const Run& run : runs) {
        for (std::size_t i = run.first; i < run.first + run.count; ++i)
            expected[i] = thin_ring_magnification(l[i], r[i], run.re, run.rstar).value_or_nan();
    }
    for (const KernelPath path : supported_paths()) {
        std::vector<double> out(cases);
        for (const Run& run : runs) {
            thin_ring_magnification_batch(path, &l[run.first], &r[run.first], run.re, run.rstar,
                                          &out[run.first], run.count);
        }
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < cases; ++i) {
            if (same_double(out[i], expected[i])) continue;
            if (++mismatches <= 5) {
                ADD_FAILURE() << kernel_path_name(path) << ": l = " << l[i] << ", r = " << r[i]
                              << ": " << out[i] << " against " << expected[i];
            }
        }
        EXPECT_EQ(mismatches, 0u) << kernel_path_name(path);
        std::printf("ring %-6s %zu cases, %zu mismatches\n", kernel_path_name(path), cases,
                    mismatches);
    }
}

TEST(BatchKernels, DiscMapChunkEqualsScalarKernel) {
    Generator g;
    std::vector<double> l(4099);
    for (double& x : l)
        x = g.maybe_special(disc_ratio(g));
    std::vector<double> out(l.size());
    disc_map_chunk(0.1, l.data(), l.size(), out.data());
    for (std::size_t i = 0; i < l.size(); ++i)
        ASSERT_TRUE(same_double(out[i], uniform_disc_magnification(l[i] * 0.1, 0.1))) << l[i];
}

// The integrated functions, whose quadratures take their points in batches,
// keep the bits they had with one scalar evaluation per point.
TEST(BatchKernels, IntegratedFunctionsKeepTheirBits) {
    using testing::integrated::bf;
    using testing::integrated::bl;
    for (const testing::integrated::Recorded& row : testing::integrated::sample) {
        const std::vector<double> l = {row.l};
        const std::vector<double> results[] = {
            integrated_witt_mao_magnification(l, 1.0, row.rstar),
            integrated_heyrovsky_magnification(l, 1.0, row.rstar),
            integrated_flux_map_witt_mao_magnification(l, 1.0, row.rstar, bl, bf),
            integrated_flux_map_heyrovsky_magnification(l, 1.0, row.rstar, bl, bf),
        };
        for (std::size_t k = 0; k < std::size(results); ++k) {
            EXPECT_TRUE(same_double(results[k][0], row.magnification[k]))
                << "function " << k << ", l = " << row.l << ", rstar = " << row.rstar;
        }
    }
}

} // namespace
} // namespace caustiqa::lensing
