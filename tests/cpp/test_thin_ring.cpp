#include "lensing/kernels/thin_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "reference/ring_reference.h"
#include "relative_error.h"

namespace caustiqa::lensing {
namespace {

using testing::relative_error;
using testing::RingReference;
using testing::same_double;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double epsilon = std::numeric_limits<double>::epsilon();
const std::string nan_error = "ellipk: Arguments cannot be NAN.";

special::ValueOrError ring(double l, double r, double w) {
    return thin_ring_magnification(l, r, w, 1.0);
}

// The error message, or "(value)" when there is none.
std::string message(const special::ValueOrError& a) {
    return a.is_error() ? a.error() : "(value)";
}

// Whether the ring passes close enough to the lens for the expansion.
bool in_band(double l, double r) {
    const double distance = std::fabs(r - l);
    return distance < 1e-5 * std::max(1.0, (l + r) / 2) && distance <= 1e-3 * (l + r);
}

// Compares every row with its reference under tolerance(row); prints the worst error.
template <class Tolerance>
void expect_table(std::span<const RingReference> table, const char* regime, Tolerance tolerance) {
    double worst = 0;
    RingReference worst_row{};
    for (const RingReference& c : table) {
        const auto a = ring(c.l, c.r, c.w);
        ASSERT_FALSE(a.is_error()) << a.error() << " at l=" << c.l << " r=" << c.r << " w=" << c.w;
        const double error = relative_error(a.value(), c.mean);
        EXPECT_LT(error, tolerance(c)) << "l=" << c.l << " r=" << c.r << " w=" << c.w;
        if (error >= worst) worst = error, worst_row = c;
    }
    std::printf("worst relative error, %s: %.3g at l=%.17g r=%.17g w=%g\n", regime, worst,
                worst_row.l, worst_row.r, worst_row.w);
}

TEST(ThinRing, ClosedFormMatchesQuadrature) {
    // n = 4lr/(l+r)^2 is rounded once and 1 - n = ((r-l)/(l+r))^2, so the
    // rounding is amplified by ((l+r)/(r-l))^2 in Pi: up to 1e-8 at l = 10, |r-l| = 1e-3.
    expect_table(testing::general_branch, "closed form", [](const RingReference& c) {
        const double condition = (c.l + c.r) / (c.r - c.l);
        return 1e-12 + epsilon * condition * condition;
    });
}

TEST(ThinRing, NearLensWithinBandAndBeyond) {
    for (const bool inside : {true, false}) {
        std::vector<RingReference> rows;
        std::copy_if(std::begin(testing::near_lens), std::end(testing::near_lens),
                     std::back_inserter(rows),
                     [&](const RingReference& c) { return in_band(c.l, c.r) == inside; });
        ASSERT_GT(rows.size(), 100u);
        expect_table(rows, inside ? "near lens, series band" : "near lens, up to 4 bands out",
                     [](const RingReference&) { return 1e-5; });
    }
}

TEST(ThinRing, CentredOnLensIsPointSourceValue) {
    expect_table(testing::centred_on_lens, "centred on lens, r < 1e-5",
                 [](const RingReference&) { return 1e-12; });
}

TEST(ThinRing, GrazingFarRingsAreFiniteAndAccurate) {
    expect_table(testing::grazing_far_rings, "grazing rings far out",
                 [](const RingReference&) { return 1e-5; });
    EXPECT_NEAR(ring(1e3, 1e3 + 3e-5, 1).value(), 1.0, 0.01);
}

TEST(ThinRing, SymmetricOutsideBandBitForBit) {
    using Table = std::span<const RingReference>;
    for (const Table table : {Table(testing::general_branch), Table(testing::near_lens)}) {
        for (const RingReference& c : table) {
            if (in_band(c.l, c.r)) continue;
            EXPECT_TRUE(same_double(ring(c.l, c.r, c.w).value(), ring(c.r, c.l, c.w).value()))
                << "l=" << c.l << " r=" << c.r << " w=" << c.w;
        }
    }
}

TEST(ThinRing, RingThroughLensIsInfinite) {
    for (const double l : {1e-3, 1.0, 10.0, 1e7})
        for (const double w : {0.1, 1.0, 100.0}) {
            const auto a = ring(l, l, w);
            ASSERT_FALSE(a.is_error());
            EXPECT_EQ(a.value(), inf) << "l=" << l << " w=" << w;
        }
    const auto origin = ring(0, 0, 1);
    ASSERT_FALSE(origin.is_error());
    EXPECT_TRUE(std::isnan(origin.value()));
}

TEST(ThinRing, BandEdgeTakesClosedFormAndBothSidesAgree) {
    // r just below l = 1 with |r - l| the first double at or above 1e-5, and
    // the next r inside. A NaN re errors only in the closed form.
    const double l = 1;
    double outside = 1 - 1e-5;
    while (l - outside < 1e-5)
        outside = std::nextafter(outside, 0.0);
    const double inside = std::nextafter(outside, 1.0);
    ASSERT_LT(l - inside, 1e-5);
    EXPECT_EQ(message(ring(l, outside, nan)), nan_error);
    EXPECT_TRUE(std::isnan(ring(l, inside, nan).value()));
    for (const double w : {0.1, 1.0, 100.0}) {
        const double a = ring(l, outside, w).value(), b = ring(l, inside, w).value();
        EXPECT_LT(relative_error(a, b), 1e-5) << "w=" << w << ": " << a << " vs " << b;
    }
    EXPECT_NEAR(ring(l, outside, 1).value(), 4.72, 0.005);
}

TEST(ThinRing, NanArguments) {
    struct Case {
        double l, r, re;
        bool error;
    };
    // NaN re errors only in the closed form, not inside the band (l = 1, 1e4).
    for (const Case c : {Case{nan, 1, 1, true}, Case{1, nan, 1, true}, Case{nan, nan, 1, true},
                         Case{1e4, nan, 1, true}, Case{1, 2, nan, true},
                         Case{1, 1 + 1e-6, nan, false}, Case{1e4, 1e4 + 0.05, nan, false}}) {
        const auto a = thin_ring_magnification(c.l, c.r, c.re, 1.0);
        if (c.error) {
            ASSERT_TRUE(a.is_error()) << "l=" << c.l << " r=" << c.r << " re=" << c.re;
            EXPECT_EQ(message(a), nan_error);
        } else {
            ASSERT_FALSE(a.is_error()) << "l=" << c.l << " r=" << c.r;
            EXPECT_TRUE(std::isnan(a.value()));
        }
    }
    EXPECT_EQ(message(thin_ring_magnification(1, 2, 1, nan)), nan_error);
}

TEST(ThinRing, PointSourceLimits) {
    // A ring centred on the lens, or shrunk to a point, at distance 1 with w = 1.
    const double expected = 3 / std::sqrt(5.0);
    for (const auto& [l, r] : {std::pair{0.0, 1.0}, std::pair{1.0, 0.0}}) {
        EXPECT_LE(relative_error(ring(l, r, 1).value(), expected), 2 * epsilon)
            << "l=" << l << " r=" << r;
    }
}

} // namespace
} // namespace caustiqa::lensing
