#include "lensing/sources/linear_interpolation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "relative_error.h"

namespace {

using caustiqa::special::linear_interpolate;
using caustiqa::special::LinearInterpolant;
using caustiqa::testing::same_double;

constexpr double nan = NAN;
constexpr double inf = INFINITY;

struct Case {
    const char* label;
    std::vector<double> x, y;
    double xp, outside, expected;
};

// Expected values are exact: the ends return the knot values, inside the range
// m_i xp + c_i on the segment the binary search selects.
const Case cases[] = {
    {"midpoint", {0, 1}, {1, 3}, 0.5, 0.0, 2.0},
    {"left end", {0, 1}, {1, 3}, 0.0, 0.0, 1.0},
    {"right end", {0, 1}, {1, 3}, 1.0, 0.0, 3.0},
    {"below", {0, 1}, {1, 3}, -0.1, 0.0, 0.0},
    {"above", {0, 1}, {1, 3}, 1.1, 0.0, 0.0},
    {"below, outside 7", {0, 1}, {1, 3}, -0.1, 7.0, 7.0},
    {"above, outside 7", {0, 1}, {1, 3}, 1.1, 7.0, 7.0},
    {"outside -0 keeps its sign", {0, 1}, {1, 3}, 2.0, -0.0, -0.0},
    {"outside NaN", {0, 1}, {1, 3}, 2.0, nan, nan},
    {"-inf query", {0, 1}, {1, 3}, -inf, 7.0, 7.0},
    {"+inf query", {0, 1}, {1, 3}, inf, 7.0, 7.0},
    {"NaN query", {0, 1}, {1, 3}, nan, 7.0, nan},
    {"empty x", {}, {1, 2}, 0.5, 7.0, 0.0},
    {"empty y", {0, 1}, {}, 0.5, 7.0, 0.0},
    {"both empty, NaN query", {}, {}, nan, 7.0, 0.0},
    {"one knot, at it", {0.3}, {2}, 0.3, 7.0, 2.0},
    {"one knot, far below", {0.3}, {2}, -100, 7.0, 2.0},
    {"one knot, far above", {0.3}, {2}, 100, 7.0, 2.0},
    {"one knot, NaN query", {0.3}, {2}, nan, 7.0, 2.0},
    {"one knot, inf query", {0.3}, {2}, inf, 7.0, 2.0},
    {"one y for two x", {0.3, 0.5}, {2}, 0.9, 7.0, 2.0},
    {"one x for two y", {0.3}, {2, 5}, 0.9, 7.0, 2.0},
    {"x longer: inside", {0, 1, 2}, {1, 3}, 0.5, 7.0, 2.0},
    {"x longer: range ends at x[1]", {0, 1, 2}, {1, 3}, 1.0, 7.0, 3.0},
    {"x longer: beyond x[1]", {0, 1, 2}, {1, 3}, 1.5, 7.0, 7.0},
    {"y longer: beyond x[1]", {0, 1}, {1, 3, 100}, 1.5, 7.0, 7.0},
    {"falling segment", {0, 0.5, 1}, {1, 1, 0}, 0.75, 0.0, 0.5},
    {"interior knot, left segment", {0, 0.5, 1}, {1, 1, 0}, 0.5, 0.0, 1.0},
    // Slope-intercept form: m = -0.7 / 0.3, c = 0.8 - m 0.1. At the interior
    // knot the left segment gives 0.1000000000000002 (y[1] and the right
    // segment give 0.1); y0 + m (xp - x0) would give 0.17000000000000004.
    {"interior knot from m x + c", {0.1, 0.4, 1}, {0.8, 0.1, 0.0}, 0.4, 0.0, 0.1000000000000002},
    {"m x + c inside", {0.1, 0.4, 1}, {0.8, 0.1, 0.0}, 0.37, 0.0, 0.17000000000000026},
    {"first knot exact", {0.1, 0.4, 1}, {0.8, 0.1, 0.0}, 0.1, 0.0, 0.8},
    {"last knot exact", {0.1, 0.4, 1}, {0.8, 0.1, 0.0}, 1.0, 7.0, 0.0},
    // Repeated knots: the zero-width segment (infinite slope) is never used.
    {"repeated knot, at it", {0, 1, 1, 2}, {0, 1, 5, 6}, 1.0, 7.0, 1.0},
    {"repeated knot, right of it", {0, 1, 1, 2}, {0, 1, 5, 6}, 1.5, 7.0, 5.5},
    {"repeated first knot", {0, 0, 1}, {2, 3, 4}, 0.0, 7.0, 2.0},
    {"repeated first knot, inside", {0, 0, 1}, {2, 3, 4}, 0.5, 7.0, 3.5},
    {"all knots equal, at them", {1, 1}, {2, 3}, 1.0, 7.0, 2.0},
    {"all knots equal, NaN query", {1, 1}, {2, 3}, nan, 7.0, nan},
    // Unsorted knots: the binary search takes fixed steps. For xp = 1.5 it
    // settles on x[2] = 1 and the segment x[2]..x[3] (slope 3, intercept -3),
    // although only two knots lie below 1.5 (a count would pick segment 1).
    {"unsorted, search over fixed steps", {0, 3, 1, 2}, {0, 3, 0, 3}, 1.5, 7.0, 1.5},
    {"unsorted, first segment", {0, 3, 1, 2}, {0, 3, 0, 3}, 0.5, 7.0, 0.5},
    {"unsorted, above last knot", {0, 3, 1, 2}, {0, 3, 0, 3}, 2.5, 7.0, 7.0},
    // The search also visits the entries of x beyond the n knots: the trailing
    // -9 draw it to p = 6, clamped to the last segment (1.5); a search over the
    // three knots alone would take segment 0 (0.5).
    {"search runs over all of x", {0, 0.5, 1, -9, -9, -9}, {0, 1, 0}, 0.25, 7.0, 1.5},
    {"descending, inside", {1, 0}, {0, 1}, 0.5, 7.0, 7.0},
    {"descending, at x[0]", {1, 0}, {0, 1}, 1.0, 7.0, 0.0},
    {"NaN knot", {0, nan, 1}, {0, 1, 2}, 0.5, 7.0, nan},
    {"infinite last knot", {0, inf}, {1, 2}, 5.0, 7.0, 1.0},
};

TEST(LinearInterpolation, Table) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const double once = LinearInterpolant(c.x, c.y)(c.xp, c.outside);
        EXPECT_TRUE(same_double(once, c.expected)) << once << " vs " << c.expected;
        EXPECT_TRUE(same_double(linear_interpolate(c.x, c.y, c.xp, c.outside), once));
    }
}

// Random ascending tables (with occasional repeated knots): inside the range the
// value lies between the values at the ends of the segment x[i] < xp <= x[i+1],
// up to the rounding of m xp + c; at the end knots it is exact, beyond them it is
// the outside value; one interpolant answers like a fresh one for every query.
TEST(LinearInterpolation, RandomTablesStayBetweenNeighbours) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> size(2, 24);
    for (int table = 0; table < 2000; ++table) {
        const int n = size(rng);
        std::vector<double> x(n), y(n);
        const double scale = std::ldexp(1.0, static_cast<int>(unit(rng) * 20) - 10);
        for (int k = 0; k < n; ++k) {
            x[k] = (k > 0 && unit(rng) < 0.1) ? x[k - 1] : unit(rng) * scale;
            y[k] = (unit(rng) - 0.5) * 4;
        }
        std::sort(x.begin(), x.end());
        if (x.front() == x.back()) continue;
        const double outside = (unit(rng) - 0.5) * 100;
        const LinearInterpolant interpolant(x, y);
        const double width = x.back() - x.front();
        SCOPED_TRACE(testing::Message() << "table " << table << ", n " << n);
        for (int q = 0; q < 40; ++q) {
            const double xp = q < n ? x[q] : x.front() + (unit(rng) * 1.4 - 0.2) * width;
            const double value = interpolant(xp, outside);
            ASSERT_TRUE(same_double(value, linear_interpolate(x, y, xp, outside))) << xp;
            if (xp < x.front() || xp > x.back()) {
                ASSERT_TRUE(same_double(value, outside)) << xp;
                continue;
            }
            if (xp == x.front()) {
                ASSERT_TRUE(same_double(value, y.front()));
                continue;
            }
            if (xp == x.back()) {
                ASSERT_TRUE(same_double(value, y.back()));
                continue;
            }
            const auto i = std::lower_bound(x.begin(), x.end(), xp) - x.begin() - 1;
            const double slope = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
            const double tol =
                4 * DBL_EPSILON * (std::fabs(y[i]) + std::fabs(y[i + 1]) + std::fabs(slope) * xp);
            ASSERT_GE(value, std::min(y[i], y[i + 1]) - tol) << xp;
            ASSERT_LE(value, std::max(y[i], y[i + 1]) + tol) << xp;
        }
    }
}

} // namespace
