#include "quadrature/tanh_sinh.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lensing/sources/limb_darkening.h"
#include "relative_error.h"

namespace caustiqa::quadrature {
namespace {

using testing::same_double;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double pi = 3.141592653589793;

// An integrand that records every point it is called at.
struct Recorder {
    std::function<double(double)> f;
    mutable std::vector<double> points;
    double operator()(double r) const {
        points.push_back(r);
        return f(r);
    }
};

// The points the quadrature visits on [a, b] when it runs all seven levels:
// the midpoint, then each level's pairs in table order, right point first.
std::vector<double> all_points(double a, double b) {
    const double c = 0.5 * (b - a), d = 0.5 * (a + b);
    std::vector<double> points{c * 0 + d};
    for (const auto level : detail::tanh_sinh_levels) {
        for (const auto& node : level) {
            points.push_back(d + c * node.abscissa);
            points.push_back(d - c * node.abscissa);
        }
    }
    return points;
}

TEST(TanhSinh, VisitsEveryNodeInOrderWhenNeverConverged) {
    for (const double tol : {0.0, -1.0}) {
        for (const auto& [a, b] : {std::pair{0.0, 1.0}, {-1.0, 1.0}, {2.0, 7.5}}) {
            Recorder counter{[](double r) { return r * r; }, {}};
            const QuadratureResult result = tanh_sinh_integrate(counter, a, b, tol);
            EXPECT_EQ(result.evaluations, 385u);
            EXPECT_EQ(result.finite_samples, 385u);
            const std::vector<double> expected = all_points(a, b);
            ASSERT_EQ(counter.points.size(), expected.size());
            for (std::size_t i = 0; i < expected.size(); ++i) {
                ASSERT_TRUE(same_double(counter.points[i], expected[i])) << "call " << i;
            }
        }
    }
    // Calls up to the end of each level: 1 + 2 * (pairs so far).
    std::size_t calls = 1;
    std::vector<std::size_t> by_level;
    for (const auto level : detail::tanh_sinh_levels)
        by_level.push_back(calls += 2 * level.size());
    EXPECT_EQ(by_level, (std::vector<std::size_t>{7, 13, 25, 49, 97, 193, 385}));
}

struct CountCase {
    const char* name;
    double (*f)(double);
    double a, b, tol;
    std::uint32_t evaluations;
};

const CountCase count_cases[] = {
    {"zero", [](double) { return 0.0; }, 0, 1, 1e-16, 25},
    {"zero, huge interval", [](double) { return 0.0; }, -1e300, 1e300, 1e-16, 25},
    {"loose tolerance", [](double r) { return std::exp(r); }, 0, 1, 1.0, 25},
    {"kink", [](double r) { return std::fabs(r - 0.3); }, 0, 1, 1e-16, 385},
    {"noise", [](double r) { return std::sin(1e4 * r); }, 0, 1, 1e-12, 385},
    {"jump", [](double r) { return r < 0.1 ? 1.0 : 2.0; }, 0, 1, 1e-16, 385},
};

void PrintTo(const CountCase& c, std::ostream* os) {
    *os << c.name;
}

class Counts : public ::testing::TestWithParam<CountCase> {};

TEST_P(Counts, EvaluationCount) {
    const CountCase& c = GetParam();
    const QuadratureResult result = tanh_sinh_integrate(c.f, c.a, c.b, c.tol);
    EXPECT_EQ(result.evaluations, c.evaluations);
    EXPECT_EQ(result.finite_samples, c.evaluations);
}

INSTANTIATE_TEST_SUITE_P(TanhSinh, Counts, ::testing::ValuesIn(count_cases), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
});

TEST(TanhSinh, ZeroIntegrandHasExactZeroResult) {
    const QuadratureResult result = tanh_sinh_integrate([](double) { return 0.0; }, 0, 1, 1e-16);
    EXPECT_TRUE(same_double(result.integral, 0.0));
    EXPECT_TRUE(same_double(result.error_estimate, 0.0));
}

struct IntegralCase {
    const char* name;
    double (*f)(double);
    double a, b, exact, bound;
};

const IntegralCase integral_cases[] = {
    {"one on [-1, 1]", [](double) { return 1.0; }, -1, 1, 2, 1e-13},
    {"one on [0, 1]", [](double) { return 1.0; }, 0, 1, 1, 1e-13},
    {"1 - r^2 on [0, 1]", [](double r) { return 1 - r * r; }, 0, 1, 2.0 / 3, 1e-13},
    {"exp on [0, 1]", [](double r) { return std::exp(r); }, 0, 1, 1.718281828459045, 1e-13},
    // A logarithmic end-point singularity, never sampled; the tail beyond the
    // outermost node (2e-14 from the end) is what is missed.
    {"log(r) on [0, 1]", [](double r) { return std::log(r); }, 0, 1, -1, 1e-12},
};

void PrintTo(const IntegralCase& c, std::ostream* os) {
    *os << c.name;
}

class Integrals : public ::testing::TestWithParam<IntegralCase> {};

TEST_P(Integrals, AgreeWithExactValue) {
    const IntegralCase& c = GetParam();
    const QuadratureResult result = tanh_sinh_integrate(c.f, c.a, c.b, 1e-16);
    EXPECT_NEAR(result.integral, c.exact, c.bound) << c.name;
}

INSTANTIATE_TEST_SUITE_P(TanhSinh, Integrals, ::testing::ValuesIn(integral_cases));

// An integrand that is v at the midpoint and 0 elsewhere: the level sums are
// zero, so delta halves at each level, delta_j = pi v / 2^(j + 1), and after
// level 2 the rate is ln(delta_2) / ln(delta_1) = 1 - ln 2 / ln(delta_1).
struct MidpointOnly {
    double v;
    double operator()(double r) const { return r == 0.5 ? v : 0.0; }
};

TEST(TanhSinh, ErrorEstimateAndStoppingRule) {
    for (const double rate : {1.85, 1.95, 2.05, 2.15}) {
        const double delta_1 = std::exp2(-1 / (rate - 1));
        const MidpointOnly f{delta_1 * 4 / pi};
        const QuadratureResult first = tanh_sinh_integrate(f, 0.0, 1.0, 1e300);
        ASSERT_EQ(first.evaluations, 25u);
        const double delta_2 = pi * f.v / 8;
        const double error = 1.9 < rate && rate < 2.1 ? delta_2 * delta_2 : delta_2;
        EXPECT_NEAR(first.error_estimate, 0.5 * error, 1e-15 * error) << rate;
        // The stop needs tol * 0.25 / c > error strictly; on [0, 1] the bound
        // 4 (error_estimate) is exact.
        const double bound = 4 * first.error_estimate;
        EXPECT_EQ(tanh_sinh_integrate(f, 0.0, 1.0, std::nextafter(bound, inf)).evaluations, 25u);
        EXPECT_GT(tanh_sinh_integrate(f, 0.0, 1.0, bound).evaluations, 25u);
        // Run to the end, the midpoint term alone is left: pi v / 2^7, times c.
        const QuadratureResult last = tanh_sinh_integrate(f, 0.0, 1.0, 0.0);
        EXPECT_TRUE(same_double(last.integral, 3.141592653589793 * f.v / 128 * 0.5));
        EXPECT_EQ(last.finite_samples, 385u);
    }
}

TEST(TanhSinh, NeverSamplesTheEnds) {
    const double closest = 0.999999999999957; // level 0, t = 3
    for (const auto& [a, b] : {std::pair{0.0, 1.0}, {-1.0, 1.0}, {1.0, 3.0}}) {
        Recorder recorder{[](double) { return 1.0; }, {}};
        tanh_sinh_integrate(recorder, a, b, 0.0);
        double low = inf, high = -inf;
        for (const double r : recorder.points) {
            low = std::fmin(low, r);
            high = std::fmax(high, r);
        }
        const double c = 0.5 * (b - a), d = 0.5 * (a + b);
        EXPECT_TRUE(same_double(low, d - c * closest)) << a << " " << b;
        EXPECT_TRUE(same_double(high, d + c * closest)) << a << " " << b;
        EXPECT_GT(low, a);
        EXPECT_LT(high, b);
    }
}

// A non-finite value counts as 0 at its point, exactly as a returned 0 would.
TEST(TanhSinh, NonFiniteSamplesCountAsZero) {
    const std::vector<double> visited = all_points(0, 1);
    struct Poison {
        std::size_t call;
        double value;
    };
    const std::vector<std::vector<Poison>> cases = {
        {{0, nan}},
        {{1, inf}, {2, -inf}},
        {{5, nan}, {30, inf}, {100, -inf}, {384, nan}},
    };
    for (const std::vector<Poison>& poison : cases) {
        for (const double tol : {1e-16, 0.0}) {
            const auto value_at = [&](double r, bool poisoned) {
                for (const Poison& p : poison) {
                    if (r == visited[p.call]) return poisoned ? p.value : 0.0;
                }
                return 1 - r * r;
            };
            const QuadratureResult bad =
                tanh_sinh_integrate([&](double r) { return value_at(r, true); }, 0, 1, tol);
            const QuadratureResult zeroed =
                tanh_sinh_integrate([&](double r) { return value_at(r, false); }, 0, 1, tol);
            EXPECT_TRUE(std::isfinite(bad.integral));
            EXPECT_TRUE(same_double(bad.integral, zeroed.integral));
            EXPECT_TRUE(same_double(bad.error_estimate, zeroed.error_estimate));
            EXPECT_EQ(bad.evaluations, zeroed.evaluations);
            std::uint32_t poisoned = 0;
            for (const Poison& p : poison)
                poisoned += p.call < zeroed.evaluations;
            EXPECT_EQ(bad.finite_samples, zeroed.evaluations - poisoned);
            EXPECT_EQ(zeroed.finite_samples, zeroed.evaluations);
        }
    }
    const QuadratureResult none = tanh_sinh_integrate([](double) { return nan; }, 0, 1, 1e-16);
    EXPECT_TRUE(same_double(none.integral, 0.0));
    EXPECT_EQ(none.evaluations, 25u);
    EXPECT_EQ(none.finite_samples, 0u);
}

TEST(TanhSinh, SplitIntegralIsSumOfParts) {
    const auto f = [](double r) { return std::log(std::fabs(r - 0.3)); };
    const double exact = 0.3 * std::log(0.3) + 0.7 * std::log(0.7) - 1;
    const QuadratureResult whole = tanh_sinh_integrate_split(f, 0.3, 1e-16);
    const QuadratureResult inner = tanh_sinh_integrate(f, 0.0, 0.3, 1e-16);
    const QuadratureResult outer = tanh_sinh_integrate(f, 0.3, 1.0, 1e-16);
    EXPECT_TRUE(same_double(whole.integral, inner.integral + outer.integral));
    EXPECT_TRUE(same_double(whole.error_estimate, inner.error_estimate + outer.error_estimate));
    EXPECT_EQ(whole.evaluations, inner.evaluations + outer.evaluations);
    EXPECT_EQ(whole.finite_samples, inner.finite_samples + outer.finite_samples);
    EXPECT_NEAR(whole.integral, exact, 1e-12); // the tails beyond the outermost nodes
    // A split point outside (0, 1), or NaN, leaves a single integral.
    for (const double split : {0.0, 1.0, -2.0, 3.0, nan}) {
        const QuadratureResult single = tanh_sinh_integrate_split(f, split, 1e-16);
        const QuadratureResult direct = tanh_sinh_integrate(f, 0.0, 1.0, 1e-16);
        EXPECT_TRUE(same_double(single.integral, direct.integral)) << split;
        EXPECT_EQ(single.evaluations, direct.evaluations) << split;
    }
}

// Rows named by the node rule, and every node within a few units in the last
// place of the formula evaluated in double arithmetic.
TEST(TanhSinhNodes, TableFollowsTheNodeRule) {
    struct Row {
        std::size_t level;
        detail::TanhSinhNode first, last;
    };
    const Row rows[] = {
        {0, {0.23002239451478868, 0.9513679640727469}, {1.3581784274539091e-12, 0.999999999999957}},
        {1, {0.4829882897061506, 0.6742714922484359}, {1.071560227847152e-07, 0.9999999888756649}},
        {2, {0.3474036898118141, 0.3772097381640342}, {2.9077914535639456e-10, 0.9999999999528565}},
        {6,
         {0.024531906707493643, 0.02453976357464916},
         {3.411862828005251e-14, 0.9999999999999298}},
    };
    for (const Row& row : rows) {
        const auto level = detail::tanh_sinh_levels[row.level];
        EXPECT_TRUE(same_double(level.front().weight, row.first.weight)) << row.level;
        EXPECT_TRUE(same_double(level.front().abscissa, row.first.abscissa)) << row.level;
        EXPECT_TRUE(same_double(level.back().weight, row.last.weight)) << row.level;
        EXPECT_TRUE(same_double(level.back().abscissa, row.last.abscissa)) << row.level;
    }
    ASSERT_EQ(std::size(detail::tanh_sinh_levels), 7u);
    const std::size_t sizes[] = {3, 3, 6, 12, 24, 48, 96};
    for (std::size_t j = 0; j < 7; ++j) {
        const auto level = detail::tanh_sinh_levels[j];
        ASSERT_EQ(level.size(), sizes[j]);
        const double h = std::ldexp(1.0, -static_cast<int>(j));
        for (std::size_t k = 0; k < level.size(); ++k) {
            const double t = j == 0 ? k + 1.0 : (2.0 * k + 1) * h;
            const double u = pi / 2 * std::sinh(t);
            const double x = std::tanh(u);
            const double w = h * (pi / 2) * std::cosh(t) / (std::cosh(u) * std::cosh(u));
            EXPECT_LE(std::fabs(level[k].abscissa - x), 2 * std::numeric_limits<double>::epsilon())
                << j << " " << k;
            EXPECT_LT(std::fabs(level[k].weight - w), 1e-14 * w) << j << " " << k;
        }
    }
}

// The stored flux of the limb-darkened source is this quadrature's own value.
TEST(TanhSinh, LimbDarkenedFluxIsTheQuadratureValue) {
    const auto f = [](double r) { return lensing::limb_darkening_profile(r) * (2 * pi * r); };
    const QuadratureResult flux = tanh_sinh_integrate(f, 0.0, 1.0, 1e-16);
    EXPECT_TRUE(same_double(flux.integral, lensing::limb_darkened_flux));
    EXPECT_TRUE(same_double(lensing::limb_darkened_flux, 2.5132741228717936));
    EXPECT_NEAR(flux.integral, 0.8 * pi, 1e-13);
}

} // namespace
} // namespace caustiqa::quadrature
