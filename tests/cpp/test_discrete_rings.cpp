#include "lensing/sources/discrete_rings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "lensing/kernels/thin_ring.h"
#include "relative_error.h"

namespace caustiqa::lensing {
namespace {

using testing::relative_error;
using testing::same_double;
using Doubles = std::vector<double>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
const std::string nan_error = "ellipk: Arguments cannot be NAN.";

// Separations across both branches: centred, inside, on and beyond the source, far out.
const Doubles separations = {0.0, 0.3, 0.9999995, 1.7, 1e3};
const Doubles radii = {0.05, 0.25, 0.5, 1.0, 1.0 + 2e-6, 2.0};
const Doubles weights = {0.1, 0.3, -0.2, 0.45, 0.05, 1.5};

RingSums sums(const Doubles& l, const Doubles& r, const Doubles& b, double re = 1.5) {
    return discrete_flux_map_heyrovsky_magnification(l, re, 1.0, r, b);
}

TEST(DiscreteRings, NoRingsOrNoSeparations) {
    const RingSums none = sums(separations, {}, {});
    ASSERT_EQ(none.error, nullptr);
    EXPECT_EQ(none.values, Doubles(separations.size(), 0.0));
    const RingSums empty = sums({}, radii, weights);
    EXPECT_EQ(empty.error, nullptr);
    EXPECT_TRUE(empty.values.empty());
}

TEST(DiscreteRings, OneUnitRingIsTheThinRing) {
    for (const double r : radii) {
        const RingSums one = sums(separations, {r}, {1.0});
        ASSERT_EQ(one.error, nullptr);
        ASSERT_EQ(one.values.size(), separations.size());
        for (std::size_t j = 0; j < separations.size(); ++j) {
            EXPECT_TRUE(same_double(one.values[j],
                                    thin_ring_magnification(separations[j], r, 1.5, 1.0).value()))
                << "l=" << separations[j] << " r=" << r;
        }
    }
}

TEST(DiscreteRings, WeightsEnterLinearly) {
    const RingSums base = sums(separations, radii, weights);
    ASSERT_EQ(base.error, nullptr);
    Doubles doubled;
    for (const double b : weights)
        doubled.push_back(2 * b);
    const RingSums twice = sums(separations, radii, doubled);
    // Listing ring 2 again, its weight split as a + b.
    Doubles split_radii = radii, split_weights = weights;
    split_weights[2] = 0.125;
    split_radii.push_back(radii[2]);
    split_weights.push_back(weights[2] - 0.125);
    const RingSums split = sums(separations, split_radii, split_weights);
    ASSERT_EQ(twice.error, nullptr);
    ASSERT_EQ(split.error, nullptr);
    for (std::size_t j = 0; j < separations.size(); ++j) {
        ASSERT_TRUE(std::isfinite(base.values[j])) << "l=" << separations[j];
        EXPECT_EQ(twice.values[j], 2 * base.values[j]) << "l=" << separations[j];
        EXPECT_LT(relative_error(split.values[j], base.values[j]), 1e-14) << "l=" << separations[j];
    }
}

TEST(DiscreteRings, AnyFailingPairEndsTheCall) {
    // A NaN separation after a good one, a NaN radius of weight 0, a NaN re.
    struct Case {
        Doubles l, r, b;
        double re;
    };
    for (const Case& c : {Case{{0.5, nan, 1.0}, {0.3, 0.6}, {0.5, 0.5}, 1.0},
                          Case{{0.5, 1.0}, {0.3, nan}, {0.5, 0.0}, 1.0},
                          Case{{0.5, 1.0}, {0.3, 2.0}, {0.5, 0.5}, nan}}) {
        const RingSums failed = sums(c.l, c.r, c.b, c.re);
        ASSERT_NE(failed.error, nullptr);
        EXPECT_EQ(failed.error, nan_error);
        EXPECT_TRUE(failed.values.empty());
    }
}

TEST(DiscreteRings, RingThroughLens) {
    const RingSums hit = sums({0.5, 0.7}, {0.5, 0.5, 0.2}, {0.0, 0.0, 1.0});
    ASSERT_EQ(hit.error, nullptr);
    EXPECT_TRUE(std::isnan(hit.values[0]));
    EXPECT_TRUE(std::isfinite(hit.values[1]));
    EXPECT_EQ(sums({0.5}, {0.5}, {0.25}).values[0], std::numeric_limits<double>::infinity());
}

} // namespace
} // namespace caustiqa::lensing
