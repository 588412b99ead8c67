#include "lensing/sources/flux_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "lensing/kernels/uniform_disc.h"
#include "lensing/sources/discrete_rings.h"
#include "lensing/sources/tabulated_profile.h"
#include "relative_error.h"
#include "support/fatal_failure.h"

namespace {

using namespace caustiqa::lensing;
using caustiqa::testing::relative_error;
using caustiqa::testing::same_double;

using FluxMap = std::vector<double> (*)(std::span<const double>, double, double,
                                        std::span<const double>, std::span<const double>,
                                        caustiqa::Cancellation&);

struct Method {
    const char* name;
    FluxMap function;
};

const Method methods[] = {
    {"annuli of uniform discs", integrated_flux_map_witt_mao_magnification},
    {"thin rings", integrated_flux_map_heyrovsky_magnification},
};

const std::vector<double> uniform_bl{0, 1}, uniform_bf{1, 1};

// The discrete ring sum's values, as the flux maps give theirs.
std::vector<double> discrete_rings(std::span<const double> l, double re, double rstar,
                                   std::span<const double> bl, std::span<const double> bf,
                                   caustiqa::Cancellation& cancel) {
    return discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf, cancel).values;
}

// All three functions of a table check its lengths before anything else.
TEST(FluxMap, UnequalTableLengthsFailBeforeAnyComputation) {
    struct Lengths {
        std::vector<double> bl, bf, l;
        const char* message;
    };
    const Lengths cases[] = {
        {{1, 2, 3}, {1, 2}, {}, "assertion `left == right` failed\n  left: 3\n right: 2"},
        {{1, 2, 3}, {1, 2}, {0.5, NAN}, "assertion `left == right` failed\n  left: 3\n right: 2"},
        {{0, 1}, {1, 2, 3}, {0.5}, "assertion `left == right` failed\n  left: 2\n right: 3"},
        {{}, {1}, {}, "assertion `left == right` failed\n  left: 0\n right: 1"},
        {std::vector<double>(12, 0.5),
         {},
         {1},
         "assertion `left == right` failed\n  left: 12\n right: 0"},
    };
    const Method with_rings[] = {methods[0], methods[1], {"discrete rings", discrete_rings}};
    for (const Method& method : with_rings) {
        for (const Lengths& c : cases) {
            SCOPED_TRACE(testing::Message() << method.name << ": " << c.message);
            try {
                method.function(c.l, 1.0, 1.0, c.bl, c.bf, caustiqa::never_cancelled());
                ADD_FAILURE() << "no failure";
            } catch (const caustiqa::FatalFailure& failure) {
                EXPECT_EQ(failure.message(), c.message);
            }
        }
    }
}

TEST(FluxMap, NoSeparationsGiveNoResults) {
    for (const Method& method : methods) {
        EXPECT_TRUE(
            method.function({}, 1.0, 1.0, uniform_bl, uniform_bf, caustiqa::never_cancelled())
                .empty())
            << method.name;
    }
}

// Not one sample of the integrand is finite for a NaN separation: the result
// is NaN, and the separations around it come out as if computed alone.
TEST(FluxMap, NanSeparationIsNanAndLeavesNeighboursAlone) {
    const std::vector<double> bl{0, 0.4, 1}, bf{1, 0.7, 0.5};
    const std::vector<double> l{0.3, NAN, 1.5, NAN};
    for (const Method& method : methods) {
        SCOPED_TRACE(method.name);
        const std::vector<double> all =
            method.function(l, 1.0, 0.5, bl, bf, caustiqa::never_cancelled());
        ASSERT_EQ(all.size(), l.size());
        for (std::size_t j = 0; j < l.size(); ++j) {
            const double alone =
                method.function({&l[j], 1}, 1.0, 0.5, bl, bf, caustiqa::never_cancelled()).at(0);
            EXPECT_TRUE(same_double(all[j], alone)) << j;
            EXPECT_EQ(std::isnan(all[j]), std::isnan(l[j])) << j;
        }
    }
}

TEST(FluxMap, ProfileFlux) {
    constexpr double pi = 3.141592653589793;
    struct Flux {
        const char* label;
        std::vector<double> bl, bf;
        double expected, tol;
    };
    const Flux cases[] = {
        {"uniform", {0, 1}, {1, 1}, pi, 1e-13},
        {"one knot is constant", {0.3}, {2}, 2 * pi, 1e-13},
        {"linear rise", {0, 1}, {0, 1}, 2 * pi / 3, 1e-13},
        {"knots beyond the limb", {-1, 3}, {0, 4}, 2 * pi / 3 + 2 * pi / 2, 1e-13},
        {"empty", {}, {}, 0.0, 0.0},
        {"all zero", {0, 0.5, 1}, {0, 0, 0}, 0.0, 0.0},
        {"beyond the source", {2, 3}, {1, 1}, 0.0, 0.0},
    };
    for (const Flux& c : cases) {
        const double flux = profile_flux(TabulatedProfile(c.bl, c.bf));
        EXPECT_LE(relative_error(flux, c.expected), c.tol) << c.label << ": " << flux;
    }
}

// The annulus r -/+ 0.0001 is clamped to [0, 1]; its magnification is the
// area-weighted difference of the two uniform discs.
TEST(FluxMap, AnnulusMagnificationClampsToTheSource) {
    constexpr double u = 0.3, rho = 0.5;
    const auto annulus = [](double lo, double hi) {
        const double a = lo * lo, b = hi * hi;
        const double lower = lo == 0 ? 0.0 : uniform_disc_magnification(u, lo * rho) * a;
        return (uniform_disc_magnification(u, hi * rho) * b - lower) / (b - a);
    };
    struct Clamp {
        const char* label;
        double r, expected;
    };
    const Clamp cases[] = {
        {"centre", 0.0, annulus(0.0, 0.0001)},
        {"inner radius clamped to 0", 0.00005, annulus(0.0, 0.00005 + 0.0001)},
        {"interior", 0.6, annulus(0.6 + -0.0001, 0.6 + 0.0001)},
        {"limb", 1.0, annulus(1.0 + -0.0001, 1.0)},
        {"outer radius clamped to 1", 0.99995, annulus(0.99995 + -0.0001, 1.0)},
        {"NaN radius is the whole disc", NAN, uniform_disc_magnification(u, rho)},
        {"empty at -0.0001", -0.0001, NAN},
        {"empty where both radii are 1", 1.0001, NAN},
        {"empty beyond the limb", 1.5, NAN},
        {"empty at infinity", INFINITY, NAN},
    };
    for (const Clamp& c : cases) {
        const double value = annulus_magnification(u, rho, c.r);
        EXPECT_TRUE(same_double(value, c.expected)) << c.label << ": " << value;
    }
    EXPECT_FALSE(std::isnan(annulus(0.0, 0.0001)));
}

} // namespace
