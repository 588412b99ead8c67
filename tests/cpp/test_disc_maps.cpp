#include "lensing/arrays/disc_maps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "lensing/kernels/uniform_disc.h"
#include "relative_error.h"

namespace caustiqa::lensing {
namespace {

using testing::same_double;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Separations in source radii: the lens inside, on the edge of and outside the
// disc, negative and signed zeros, NaN and infinities, then a smooth ramp.
std::vector<double> separations(std::size_t size) {
    const double notable[] = {0.0, -0.0, 1.0, 0.5, -1.0, 1.0005, nan, 3.0, inf, -inf, 1e-9};
    std::vector<double> l;
    for (std::size_t i = 0; i < size; ++i) {
        l.push_back(i < std::size(notable) ? notable[i] : 20.0 * std::sin(0.37 * i));
    }
    return l;
}

std::vector<double> scalar_loop(const std::vector<double>& l, double re, double rstar) {
    const double rho = rstar / re;
    std::vector<double> out;
    for (const double x : l)
        out.push_back(uniform_disc_magnification(x * rho, rho));
    return out;
}

void expect_same(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (!same_double(actual[i], expected[i]) && mismatches++ < 5) {
            ADD_FAILURE() << "element " << i << ": " << actual[i] << " vs " << expected[i];
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(WittMaoMagnification, EqualsScalarLoop) {
    const std::size_t sizes[] = {0, 1, 2, 1000, 100000};
    const double radii[][2] = {{1.0, 0.1}, {2.0, 3.0}, {0.7, 1e-4}};
    for (const std::size_t size : sizes) {
        const std::vector<double> l = separations(size);
        for (const auto& [re, rstar] : radii) {
            SCOPED_TRACE(::testing::Message()
                         << size << " elements, re " << re << ", rstar " << rstar);
            expect_same(witt_mao_magnification(l, re, rstar), scalar_loop(l, re, rstar));
        }
    }
}

TEST(WittMaoMagnification, DegenerateRadii) {
    const std::vector<double> l = {0.0, -0.0, 0.5, 1.0, -2.0, 1e300};
    for (const double rstar : {1.0, 0.0}) {
        for (const double value : witt_mao_magnification(l, 0.0, rstar)) {
            EXPECT_TRUE(std::isnan(value)) << "re = 0, rstar = " << rstar;
        }
    }
    // rstar = 0: the point-source value at u = +-0.
    const std::vector<double> expected = {inf, -inf, inf, inf, -inf, inf};
    expect_same(witt_mao_magnification(l, 2.0, 0.0), expected);
}

TEST(MultiWittMaoMagnification, CombinationsInReMajorOrder) {
    const std::vector<double> l = separations(300);
    const std::vector<double> re = {1.0, 2.0};
    const std::vector<double> rstar = {0.1, 0.5, 3.0};
    const auto result = multi_witt_mao_magnification(l, re, rstar);
    ASSERT_EQ(result.size(), 6u);
    for (std::size_t i = 0; i < re.size(); ++i) {
        for (std::size_t j = 0; j < rstar.size(); ++j) {
            SCOPED_TRACE(::testing::Message() << "re[" << i << "], rstar[" << j << "]");
            expect_same(result[i * rstar.size() + j], witt_mao_magnification(l, re[i], rstar[j]));
        }
    }
}

TEST(MultiWittMaoMagnification, ShapesAndDuplicates) {
    const std::vector<double> l = {0.0, 0.9, 2.0};
    const std::vector<double> none;
    const std::vector<double> two = {1.0, 4.0};
    EXPECT_TRUE(multi_witt_mao_magnification(l, none, two).empty());
    EXPECT_TRUE(multi_witt_mao_magnification(l, two, none).empty());
    EXPECT_TRUE(multi_witt_mao_magnification(none, none, none).empty());

    const auto empty_curves = multi_witt_mao_magnification(none, two, {{0.1, 0.2, 0.3}});
    ASSERT_EQ(empty_curves.size(), 6u);
    for (const auto& curve : empty_curves)
        EXPECT_TRUE(curve.empty());

    // Duplicates in either array give identical entries; zeros follow the scalar rules.
    const std::vector<double> re = {2.0, 0.0, 2.0};
    const std::vector<double> rstar = {0.5, 0.0, 0.5};
    const auto result = multi_witt_mao_magnification(l, re, rstar);
    ASSERT_EQ(result.size(), 9u);
    for (std::size_t p = 0; p < result.size(); ++p) {
        SCOPED_TRACE(::testing::Message() << "entry " << p);
        expect_same(result[p], witt_mao_magnification(l, re[p / 3], rstar[p % 3]));
    }
    expect_same(result[0], result[2]);
    expect_same(result[0], result[6]);
    expect_same(result[0], result[8]);
}

} // namespace
} // namespace caustiqa::lensing
