#include "lensing/sources/limb_darkening.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "lensing/kernels/thin_ring.h"
#include "lensing/kernels/uniform_disc.h"
#include "lensing/sources/ring_integral.h"
#include "quadrature/tanh_sinh.h"
#include "reference/limb_darkening_reference.h"
#include "relative_error.h"

namespace caustiqa::lensing {
namespace {

using testing::LimbDarkenedReference;
using testing::relative_error;
using testing::same_double;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Magnification = std::vector<double> (*)(std::span<const double>, double, double,
                                              caustiqa::Cancellation&);

struct Method {
    const char* name;
    Magnification magnification;
};

const Method witt_mao{"integrated_witt_mao", integrated_witt_mao_magnification};
const Method heyrovsky{"integrated_heyrovsky", integrated_heyrovsky_magnification};
const Method methods[] = {witt_mao, heyrovsky};

double one(const Method& method, double l, double re, double rstar) {
    const double separation[] = {l};
    return method
        .magnification(std::span<const double>(separation, 1), re, rstar,
                       caustiqa::never_cancelled())
        .at(0);
}

double point_source(double u) {
    return (u * u + 2) / (u * std::sqrt(u * u + 4));
}

// Three regimes of the separation, with the bounds each method is held to.
// The disc sum reaches ~1e-11 only where no disc of its decomposition has its
// rim on the lens: inside the source the integrand over mu has an unsplit kink
// where one does, and within 0.001 of the rim the uniform part takes its edge
// value. The ring sum is cut at its singular ring and holds ~1e-11 throughout.
struct Regime {
    const char* name;
    bool (*contains)(double l);
    double witt_mao_bound, heyrovsky_bound;
};

const Regime regimes[] = {
    {"centre or outside (l = 0, l >= 1.01)", [](double l) { return l == 0 || l >= 1.01; }, 1e-11,
     2e-11},
    {"inside (0 < l <= 0.99)", [](double l) { return 0 < l && l <= 0.99; }, 3e-5, 2e-11},
    {"limb (0.99 < l < 1.01)", [](double l) { return 0.99 < l && l < 1.01; }, 2e-3, 2e-11},
};

TEST(LimbDarkening, AgreesWithTwoDimensionalQuadrature) {
    for (const Regime& regime : regimes) {
        double worst[2] = {0, 0}, difference = 0;
        const LimbDarkenedReference* at[3] = {};
        for (const LimbDarkenedReference& row : testing::limb_darkened) {
            if (!regime.contains(row.l)) continue;
            const double values[2] = {one(witt_mao, row.l, 1.0, row.rho),
                                      one(heyrovsky, row.l, 1.0, row.rho)};
            const double bounds[2] = {regime.witt_mao_bound, regime.heyrovsky_bound};
            for (int k = 0; k < 2; ++k) {
                const double error = relative_error(values[k], row.magnification);
                EXPECT_LT(error, bounds[k])
                    << methods[k].name << " l = " << row.l << " rho = " << row.rho;
                if (error >= worst[k]) worst[k] = error, at[k] = &row;
            }
            const double apart = relative_error(values[0], values[1]);
            if (apart >= difference) difference = apart, at[2] = &row;
        }
        ASSERT_NE(at[2], nullptr) << regime.name;
        std::printf("%s:\n", regime.name);
        const char* labels[] = {methods[0].name, methods[1].name, "difference"};
        const double figures[] = {worst[0], worst[1], difference};
        for (int k = 0; k < 3; ++k) {
            std::printf("  %-21s worst relative %.3g at l = %g, rho = %g\n", labels[k], figures[k],
                        at[k]->l, at[k]->rho);
        }
    }
}

// Values of the ring sum for re = 1, l = 0, 0.5, 1, 2, 10.
TEST(LimbDarkening, RingSumReferenceValues) {
    const double l[] = {0, 0.5, 1, 2, 10};
    const struct {
        double rstar;
        double expected[5];
    } cases[] = {
        {0.1, {21.80450356, 19.67900329, 12.29853348, 5.231521145, 1.342933003}},
        {1.0, {2.401378221, 2.227093123, 1.586640761, 1.074913941, 1.000195629}},
    };
    for (const auto& c : cases) {
        const std::vector<double> result = integrated_heyrovsky_magnification(l, 1.0, c.rstar);
        ASSERT_EQ(result.size(), 5u);
        for (int i = 0; i < 5; ++i) {
            EXPECT_LT(relative_error(result[i], c.expected[i]), 1e-8)
                << "l = " << l[i] << " rstar = " << c.rstar;
        }
    }
}

// The ring sum is the profile-weighted integral of the thin ring itself,
// I(r) ((2 pi r) A), cut at r = l when the ring through the lens lies inside;
// NaN when no sample is finite (a negative or NaN separation).
TEST(RingIntegral, IsTheQuadratureOfTheRingIntegrand) {
    for (const double l : {0.0, 0.3, 0.999, 1.0, 1.5, -0.5, nan}) {
        for (const double rstar : {0.1, 1.0}) {
            const auto integrand =
                quadrature::one_point([&](const double* r, double* values, std::size_t n) {
                    ring_integrand(r, n, l, 1.0, rstar, limb_darkening_profile, values);
                });
            quadrature::QuadratureResult sum =
                quadrature::tanh_sinh_integrate(integrand, 0.0, 1.0, 1e-16);
            if (0 < l && l < 1) {
                const quadrature::QuadratureResult inner =
                    quadrature::tanh_sinh_integrate(integrand, 0.0, l, 1e-16);
                const quadrature::QuadratureResult outer =
                    quadrature::tanh_sinh_integrate(integrand, l, 1.0, 1e-16);
                sum = {inner.integral + outer.integral, 0, 0,
                       inner.finite_samples + outer.finite_samples};
            }
            const double expected = sum.finite_samples ? sum.integral / limb_darkened_flux : nan;
            EXPECT_TRUE(same_double(one(heyrovsky, l, 1.0, rstar), expected))
                << "l = " << l << " rstar = " << rstar;
        }
    }
    double at_nan;
    const double r = 0.5;
    ring_integrand(&r, 1, nan, 1.0, 1.0, limb_darkening_profile, &at_nan);
    EXPECT_TRUE(std::isnan(at_nan));
}

// The disc sum is 0.4 of the uniform disc plus 0.6 of the mu-weighted
// integral over concentric discs, in this order of operations.
TEST(LimbDarkening, DiscSumIsItsDecomposition) {
    for (const double l : {0.0, 0.3, 1.0, 1.0005, 4.0, nan}) {
        for (const double rho : {0.01, 1.0, -0.5}) {
            const double u = l * rho;
            const auto integrand =
                quadrature::one_point([&](const double* x, double* values, std::size_t n) {
                    detail::mu_weighted_integrand(u, rho, x, n, values);
                });
            const double j = quadrature::tanh_sinh_integrate(integrand, 0.0, 1.0, 1e-16).integral;
            const double a = uniform_disc_magnification(u, rho);
            const double expected = ((0.6 * j + 0.4 * a) * 3.141592653589793) / limb_darkened_flux;
            EXPECT_TRUE(same_double(one(witt_mao, l, 1.0, rho), expected))
                << "l = " << l << " rho = " << rho;
        }
    }
}

// A uniform profile turns the ring sum into the uniform disc.
TEST(RingIntegral, UniformProfileGivesUniformDisc) {
    const auto uniform = [](double) { return 1.0; };
    for (const double rho : {0.01, 0.1, 1.0}) {
        for (const double l : {0.0, 0.5, 0.9, 1.1, 2.0, 10.0}) {
            const double ring =
                integrated_ring_magnification(l, 1.0, rho, uniform, 3.141592653589793);
            EXPECT_LT(relative_error(ring, uniform_disc_magnification(l * rho, rho)), 1e-9)
                << "l = " << l << " rho = " << rho;
        }
    }
}

// The result is NaN only when no sample at all is finite; a profile that is
// zero everywhere still integrates to 0.
TEST(RingIntegral, NaNOnlyWithoutAnyFiniteSample) {
    const auto zero = [](double) { return 0.0; };
    const auto none = [](double) { return nan; };
    const auto inner_only = [](double r) { return r < 0.5 ? 1.0 : inf; };
    EXPECT_TRUE(same_double(integrated_ring_magnification(2.0, 1.0, 1.0, zero, 1.0), 0.0));
    EXPECT_TRUE(std::isnan(integrated_ring_magnification(2.0, 1.0, 1.0, none, 1.0)));
    EXPECT_TRUE(std::isnan(integrated_ring_magnification(0.3, 1.0, 1.0, none, 1.0)));
    EXPECT_TRUE(std::isfinite(integrated_ring_magnification(0.7, 1.0, 1.0, inner_only, 1.0)));
    EXPECT_TRUE(std::isfinite(integrated_ring_magnification(2.0, 1.0, 1.0, inner_only, 1.0)));
}

class BothMethods : public ::testing::TestWithParam<Method> {};

TEST_P(BothMethods, ElementsAreIndependent) {
    const Magnification f = GetParam().magnification;
    EXPECT_TRUE(f({}, 1.0, 0.1, caustiqa::never_cancelled()).empty());
    std::vector<double> l = {0.0, 0.2, 0.9995, 1.0, 3.0, nan, 0.7, 25.0, 1e-3};
    const std::vector<double> forward = f(l, 1.0, 0.1, caustiqa::never_cancelled());
    ASSERT_EQ(forward.size(), l.size());
    std::reverse(l.begin(), l.end());
    const std::vector<double> backward = f(l, 1.0, 0.1, caustiqa::never_cancelled());
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double alone = one(GetParam(), l[i], 1.0, 0.1);
        EXPECT_TRUE(same_double(backward[i], alone)) << "l = " << l[i];
        EXPECT_TRUE(same_double(forward[l.size() - 1 - i], alone)) << "l = " << l[i];
        EXPECT_EQ(std::isnan(alone), std::isnan(l[i])) << "l = " << l[i];
    }
}

TEST_P(BothMethods, PhysicalLimits) {
    const Method& m = GetParam();
    // Centred on the lens with re = rstar:
    // (0.4 sqrt(5) + 0.6 ∫_0^1 sqrt((1 - mu^2)(5 - mu^2)) dmu) / 0.8.
    EXPECT_LT(relative_error(one(m, 0.0, 1.0, 1.0), 2.4013782213679424), 1e-13);
    for (const double rstar : {1e-3, 0.1, 1.0, 10.0}) {
        const double limb = one(m, 1.0, 1.0, rstar);
        EXPECT_TRUE(std::isfinite(limb) && limb > 1) << rstar;
    }
    // Far from the source's own scale (l >> 1 at fixed u) it acts as a point:
    // the excess over the point-source value falls as 1 / l^2 = (rho / u)^2.
    for (const double u : {0.5, 1.0, 3.0}) {
        for (const double l : {10.0, 100.0, 1000.0}) {
            const double excess = (one(m, l, 1.0, u / l) / point_source(u) - 1) * (l * l);
            EXPECT_GT(excess, 0.01) << "u = " << u << " l = " << l;
            EXPECT_LT(excess, 0.12) << "u = " << u << " l = " << l;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(LimbDarkening, BothMethods, ::testing::Values(witt_mao, heyrovsky),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LimbDarkening, SourceOfNoSize) {
    const std::vector<double> l = {0.5, 2.0, 0.0};
    // rstar = 0 puts every separation on the lens: the point-source value +inf.
    for (const double value : integrated_witt_mao_magnification(l, 1.0, 0.0)) {
        EXPECT_EQ(value, inf);
    }
    // The ring of no size has w = inf: no finite ring value, NaN.
    for (const double value : integrated_heyrovsky_magnification(l, 1.0, 0.0)) {
        EXPECT_TRUE(std::isnan(value));
    }
    // rho <= 0 elsewhere gives the point-source value at u, times 0.8 pi / F.
    for (const double rho : {-0.1, -0.0}) {
        const std::vector<double> result = integrated_witt_mao_magnification(l, 1.0, rho);
        for (std::size_t i = 0; i < l.size(); ++i) {
            EXPECT_LT(relative_error(result[i], point_source(l[i] * rho)), 1e-13)
                << "l = " << l[i] << " rho = " << rho;
        }
    }
}

// Without lensing the ring sum reproduces the flux; only the thin band about
// r = l where the ring expansion is used (and is NaN for w = 0) is missing.
TEST(LimbDarkening, NoLensGivesOne) {
    const std::vector<double> l = {0.0, 0.5, 1.0, 2.0, 100.0};
    const std::vector<double> result = integrated_heyrovsky_magnification(l, 0.0, 1.0);
    for (std::size_t i = 0; i < l.size(); ++i) {
        EXPECT_NEAR(result[i], 1.0, l[i] > 0 && l[i] <= 1 ? 1e-4 : 1e-15) << "l = " << l[i];
    }
}

TEST(LimbDarkening, Profile) {
    EXPECT_TRUE(same_double(limb_darkening_profile(0.0), 1.0));
    EXPECT_NEAR(limb_darkening_profile(1.0), 0.4, 1e-16);
    EXPECT_NEAR(limb_darkening_profile(0.6), 0.88, 2e-16);
    EXPECT_NEAR(limb_darkening_profile(0.8), 0.76, 2e-16);
    for (double r = 0; r < 1; r += 1.0 / 64 + 1e-9) {
        EXPECT_TRUE(same_double(limb_darkening_profile(r), (1 - std::sqrt(1 - r * r)) * (-0.6) + 1))
            << r;
    }
}

} // namespace
} // namespace caustiqa::lensing
