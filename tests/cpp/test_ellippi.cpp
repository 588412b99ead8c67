// Pi(n, m): agreement with reference values per regime, and the exact values
// and messages of its special cases and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "reference/elliptic_reference.h"
#include "relative_error.h"
#include "special/complete.h"
#include "special/ellippi.h"

namespace caustiqa::special {
namespace {

namespace ref = caustiqa::testing::reference;
using caustiqa::testing::relative_error;
using caustiqa::testing::same_double;

constexpr double nan = __builtin_nan("");
constexpr double inf = INFINITY;

// Per-regime bounds, a little above the measured worst case.
const std::map<std::string_view, double> bounds = {
    {"pi_positive_n", 8e-16},
    {"pi_positive_n_negative_m", 5e-16},
    {"pi_n_zero", 4e-16},
    {"pi_m_equals_n", 6e-16},
    {"pi_n_near_one", 8e-16},
    {"pi_m_near_one", 8e-16},
    {"pi_negative_n", 1.5e-15},
    {"pi_negative_n_close_m", 6e-13},
    {"pi_principal_value", 1.2e-15},
};

// For n < 0 the value is (1 - m) h / (m - n) + m K / (m - n), whose two terms
// cancel as m approaches n: the relative error grows like C eps / |m/n - 1|.
// Regions listed here are bounded by that law (with the factor C) instead.
const std::map<std::string_view, double> cancellation_factors = {
    {"pi_negative_n_very_close_m", 10.0},
};
constexpr double eps = 2.220446049250313e-16;

class PiReference : public ::testing::TestWithParam<ref::Group<ref::Row2>> {};

TEST_P(PiReference, AgreesWithinRegionBound) {
    const auto& group = GetParam();
    const auto factor = cancellation_factors.find(group.name);
    const bool scaled = factor != cancellation_factors.end();
    const double fixed_bound = scaled ? 0.0 : bounds.at(group.name);
    double worst = 0.0;
    double worst_factor = 0.0; // error |m/n - 1| / eps
    const ref::Row2* worst_row = &group.rows[0];
    for (const auto& row : group.rows) {
        const ValueOrError r = ellippi(row.a, row.b);
        ASSERT_FALSE(r.is_error()) << "n = " << row.a << ", m = " << row.b << ": " << r.error();
        const double error = relative_error(r.value(), row.value);
        const double closeness = std::fabs(row.b / row.a - 1);
        const double bound = scaled ? factor->second * eps / closeness : fixed_bound;
        EXPECT_LE(error, bound) << group.label << ", n = " << row.a << ", m = " << row.b;
        if (error > worst) worst = error, worst_row = &row;
        worst_factor = std::fmax(worst_factor, error * closeness / eps);
    }
    std::printf("[  worst   ] %-48s %9.2e at n = %.17g, m = %.17g (%zu rows)\n", group.label, worst,
                worst_row->a, worst_row->b, group.rows.size());
    if (scaled) {
        std::printf("[  worst   ] %-48s error |m/n - 1| / eps up to %.1f\n", group.label,
                    worst_factor);
    }
    RecordProperty(group.name, std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Regions, PiReference, ::testing::ValuesIn(ref::pi_groups),
                         [](const auto& info) { return std::string(info.param.name); });

struct Case {
    double n, m;
    double value;        // expected value: identical bits (NaN matches any NaN)
    const char* message; // expected error instead, when not null
};

constexpr const char* n_one = "ellippi: n cannot be 1.";
constexpr const char* above_one = "ellippi: m must not be greater than 1.";
constexpr const char* nan_message = "ellippi: Arguments cannot be NAN.";

std::vector<Case> special_cases() {
    const double below_one = 1 - 0x1p-53; // the only double between 1 - 2^-52 and 1
    const double above = 1 + 0x1p-52;
    const double k = ellipk(0.5).value();
    const double e = ellipe(0.5).value();
    std::vector<Case> cases = {
        {0.0, 0.0, 1.5707963267948966, nullptr},
        {0.0, 0.5, k, nullptr},                   // the n = 0 branch is K itself
        {0.5, 0.5, 2 * e, nullptr},               // m = n: (1 / (1 - m)) E
        {above, 0.5, k - e / (1 - 0.5), nullptr}, // K - E / (1 - m), no R_J
        {above, 2.0, 0, "ellipk: m must not be greater than 1."},
        {above, nan, 0, "ellipk: Arguments cannot be NAN."},
        {above, 1.0, nan, nullptr}, // K(1) - E(1) / 0 = inf - inf, returned as it is
        {2.0, 0.0, -0.0, nullptr},  // principal value with m = 0: (-m/3n) R_J
        {2.0, nan, nan, nullptr},   // no NaN check on the principal-value branch
        {2.0, 1.0, -inf, nullptr},
        {0.5, 1.0, inf, nullptr},
        {0.0, 1.0, inf, nullptr},
        {-1.0, 1.0, inf, nullptr},
        {-1e300, 1.0, inf, nullptr},
        {0.5, 1.5, 0, above_one},
        {0.0, 2.0, 0, above_one},
        {-3.0, 1.0000000000000002, 0, above_one},
        {0.5, inf, 0, above_one},
        {0.5, nan, 0, nan_message},
        {nan, 0.5, 0, nan_message},
        {nan, nan, 0, nan_message},
        {-1.0, nan, 0, nan_message},
        {0.5, -inf, 0.0, nullptr},
        {-inf, 0.5, 0.0, nullptr},
        {-inf, -inf, 0.0, nullptr},
    };
    // n = 1 is an error and n = 1 - 2^-53 is +inf whatever m is.
    for (double m : {0.0, 0.5, 1.0, 2.0, -1e300, inf, -inf, nan}) {
        cases.push_back({1.0, m, 0, n_one});
        cases.push_back({below_one, m, inf, nullptr});
    }
    return cases;
}

TEST(Ellippi, ExactValuesAndMessages) {
    for (const Case& c : special_cases()) {
        const ValueOrError r = ellippi(c.n, c.m);
        if (c.message != nullptr) {
            ASSERT_TRUE(r.is_error()) << "ellippi(" << c.n << ", " << c.m << ") = " << r.value();
            EXPECT_STREQ(r.error(), c.message) << "ellippi(" << c.n << ", " << c.m << ")";
        } else {
            ASSERT_FALSE(r.is_error()) << "ellippi(" << c.n << ", " << c.m << "): " << r.error();
            EXPECT_TRUE(same_double(r.value(), c.value))
                << "ellippi(" << c.n << ", " << c.m << ") = " << r.value() << ", expected "
                << c.value;
        }
    }
}

// Values quoted to a few digits (checked to half a unit of the last digit),
// and pi / sqrt(2) for m = 0, n = 1/2 to two units in the last place.
TEST(Ellippi, KnownValues) {
    struct Known {
        double n, m, value, tolerance;
    };
    const Known known[] = {
        {0.5, 0.0, 2.221441469079183, 9e-16},
        {2.0, 0.5, -0.314, 5e-4},
        {1.5, 0.3, -0.212, 5e-4},
        {0.3, 0.5, 2.25, 5e-3},
        {-0.5, 0.3, 1.39, 5e-3},
        {-2.0, 0.7, 1.11, 5e-3},
        {0.9, 0.95, 13.6, 5e-2},
        {0.2, -3.0, 1.18, 5e-3},
    };
    for (const Known& k : known) {
        const ValueOrError r = ellippi(k.n, k.m);
        ASSERT_FALSE(r.is_error());
        EXPECT_NEAR(r.value(), k.value, k.tolerance) << k.n << ", " << k.m;
    }
}

// Beyond the domain on the principal-value branch (n > 1 + 2^-52, m >= n or
// 1 < m < n) the result is a NaN value; the principal-value step of R_J is
// applied once there, not repeated without end.
TEST(Ellippi, PrincipalValueOutsideDomainIsNan) {
    for (double n : {1.0000000000000004, 1.5, 2.0, 10.0, 1e300}) {
        for (double m : {1.0000000000000002, 1.2, 1.5, 2.0, 3.0, 11.0, 1e300, inf}) {
            const ValueOrError r = ellippi(n, m);
            ASSERT_FALSE(r.is_error()) << n << ", " << m << ": " << r.error();
            EXPECT_TRUE(std::isnan(r.value()))
                << "ellippi(" << n << ", " << m << ") = " << r.value();
        }
    }
}

} // namespace
} // namespace caustiqa::special
