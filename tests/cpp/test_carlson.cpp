// Carlson's R_F, R_C, R_D, R_J: agreement with reference values per regime,
// the identities they satisfy, and the values at degenerate arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "reference/elliptic_reference.h"
#include "relative_error.h"
#include "special/carlson.h"

namespace caustiqa::special {
namespace {

namespace ref = caustiqa::testing::reference;
using caustiqa::testing::relative_error;

constexpr double eps = 2.220446049250313e-16;

// Per-regime bounds, a little above the measured worst case.
const std::map<std::string_view, double> bounds = {
    {"rf_distinct", 5e-16},   {"rf_one_zero", 1e-15},        {"rf_x_equals_y", 5e-16},
    {"rc_y_above_x", 5e-16},  {"rc_y_below_x", 5e-16},       {"rc_principal_value", 5e-16},
    {"rd_distinct", 8e-16},   {"rd_x_zero", 6e-16},          {"rj_distinct", 8e-16},
    {"rj_y_equals_z", 8e-15}, {"rj_principal_value", 3e-15}, {"rj_all_equal", 4e-15},
};

template <class Row, class F> void check_group(const ref::Group<Row>& group, F evaluate) {
    const double bound = bounds.at(group.name);
    double worst = 0.0;
    for (const Row& row : group.rows) {
        const double error = relative_error(evaluate(row), row.value);
        EXPECT_LE(error, bound) << group.label << ", row " << (&row - group.rows.data());
        worst = std::fmax(worst, error);
    }
    std::printf("[  worst   ] %-48s %9.2e (%zu rows)\n", group.label, worst, group.rows.size());
    ::testing::Test::RecordProperty(group.name, std::to_string(worst));
}

class RfReference : public ::testing::TestWithParam<ref::Group<ref::Row3>> {};
class RcReference : public ::testing::TestWithParam<ref::Group<ref::Row2>> {};
class RdReference : public ::testing::TestWithParam<ref::Group<ref::Row3>> {};
class RjReference : public ::testing::TestWithParam<ref::Group<ref::Row4>> {};

TEST_P(RfReference, AgreesWithinRegionBound) {
    check_group(GetParam(), [](const ref::Row3& r) { return carlson_rf(r.x, r.y, r.z); });
}
TEST_P(RcReference, AgreesWithinRegionBound) {
    check_group(GetParam(), [](const ref::Row2& r) { return carlson_rc(r.a, r.b); });
}
TEST_P(RdReference, AgreesWithinRegionBound) {
    check_group(GetParam(), [](const ref::Row3& r) { return carlson_rd(r.x, r.y, r.z); });
}
TEST_P(RjReference, AgreesWithinRegionBound) {
    check_group(GetParam(), [](const ref::Row4& r) { return carlson_rj(r.x, r.y, r.z, r.p); });
}

template <class Row> std::string group_name(const ::testing::TestParamInfo<ref::Group<Row>>& info) {
    return info.param.name;
}
INSTANTIATE_TEST_SUITE_P(Regions, RfReference, ::testing::ValuesIn(ref::rf_groups),
                         group_name<ref::Row3>);
INSTANTIATE_TEST_SUITE_P(Regions, RcReference, ::testing::ValuesIn(ref::rc_groups),
                         group_name<ref::Row2>);
INSTANTIATE_TEST_SUITE_P(Regions, RdReference, ::testing::ValuesIn(ref::rd_groups),
                         group_name<ref::Row3>);
INSTANTIATE_TEST_SUITE_P(Regions, RjReference, ::testing::ValuesIn(ref::rj_groups),
                         group_name<ref::Row4>);

// R_F is symmetric in its three arguments; the duplication sums them in a
// different order, so the permutations agree to a few units in the last place.
TEST(CarlsonIdentities, RfIsSymmetric) {
    for (const auto& group : {ref::rf_groups[0], ref::rf_groups[1]}) {
        for (const auto& row : group.rows) {
            std::array<double, 3> v = {row.x, row.y, row.z};
            std::sort(v.begin(), v.end());
            const double first = carlson_rf(v[0], v[1], v[2]);
            do {
                EXPECT_LE(relative_error(carlson_rf(v[0], v[1], v[2]), first), 4 * eps)
                    << v[0] << ", " << v[1] << ", " << v[2];
            } while (std::next_permutation(v.begin(), v.end()));
        }
    }
}

// R_F(x, x, x) = 1/sqrt(x), also reached through the duplication and series
// when the arguments differ by a relative d (the error there is of order d^2).
TEST(CarlsonIdentities, RfOfEqualArguments) {
    for (double x : {1e-300, 1e-8, 0.3, 1.0, 7.5, 1e12, 1e300}) {
        EXPECT_EQ(carlson_rf(x, x, x), 1 / std::sqrt(x)) << x;
        for (double d : {1e-12, 1e-9, 1e-8}) {
            EXPECT_LE(relative_error(carlson_rf(x * (1 - d), x, x * (1 + d)), 1 / std::sqrt(x)),
                      4 * eps + d * d)
                << x << ", " << d;
        }
    }
}

// R_F(kx, ky, kz) = R_F(x, y, z) / sqrt(k): bit for bit for k = 4 (every step
// scales by a power of two), to a few ulp for other k.
TEST(CarlsonIdentities, RfIsHomogeneous) {
    for (const auto& group : ref::rf_groups) {
        for (const auto& r : group.rows) {
            const double base = carlson_rf(r.x, r.y, r.z);
            EXPECT_EQ(carlson_rf(4 * r.x, 4 * r.y, 4 * r.z), base / 2) << group.label;
            for (double k : {3.0, 1e-7, 2.5e9}) {
                EXPECT_LE(
                    relative_error(carlson_rf(k * r.x, k * r.y, k * r.z) * std::sqrt(k), base),
                    6 * eps)
                    << group.label << ", k = " << k;
            }
        }
    }
}

// R_D and R_J are homogeneous of degree -3/2.
TEST(CarlsonIdentities, RdAndRjAreHomogeneous) {
    for (const auto& r : ref::rd_distinct_rows) {
        for (double k : {4.0, 3.0, 1e-6, 1e6}) {
            const double scale = k * std::sqrt(k);
            EXPECT_LE(relative_error(carlson_rd(k * r.x, k * r.y, k * r.z) * scale,
                                     carlson_rd(r.x, r.y, r.z)),
                      8 * eps);
        }
    }
    for (const auto& r : ref::rj_distinct_rows) {
        for (double k : {4.0, 3.0, 1e-6, 1e6}) {
            const double scale = k * std::sqrt(k);
            EXPECT_LE(relative_error(carlson_rj(k * r.x, k * r.y, k * r.z, k * r.p) * scale,
                                     carlson_rj(r.x, r.y, r.z, r.p)),
                      8 * eps);
        }
    }
}

// R_D(x, y, z) = R_J(x, y, z, z) = R_J(x, z, y, z) = R_J(z, x, y, z): the first is
// the same computation, the others go through R_J's own duplication. And
// R_D(x, y, z) + R_D(y, z, x) + R_D(z, x, y) = 3 / sqrt(x y z) (DLMF 19.21.13).
TEST(CarlsonIdentities, RdAgreesWithRj) {
    for (const auto& r : ref::rd_distinct_rows) {
        const double rd = carlson_rd(r.x, r.y, r.z);
        EXPECT_EQ(carlson_rj(r.x, r.y, r.z, r.z), rd);
        EXPECT_LE(relative_error(carlson_rj(r.x, r.z, r.y, r.z), rd), 8 * eps);
        EXPECT_LE(relative_error(carlson_rj(r.z, r.x, r.y, r.z), rd), 8 * eps);
        const double sum = rd + carlson_rd(r.y, r.z, r.x) + carlson_rd(r.z, r.x, r.y);
        EXPECT_LE(relative_error(sum, 3 / std::sqrt(r.x * r.y * r.z)), 8 * eps);
    }
}

// R_C against its closed forms in extended precision (DLMF 19.2.18-19.2.20):
// atan for y > x, artanh (y/x > 1/2) or arcosh for 0 < y < x, and the
// principal value sqrt(x/(x-y)) R_C(x-y, -y) for y < 0.
long double rc_closed_form(long double x, long double y) {
    if (y < 0) return std::sqrt(x / (x - y)) * rc_closed_form(x - y, -y);
    if (x == 0) return std::acos(-1.0L) / (2 * std::sqrt(y));
    if (x == y) return 1 / std::sqrt(x);
    if (y > x) return std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);
    if (2 * y > x) return std::atanh(std::sqrt((x - y) / x)) / std::sqrt(x - y);
    return std::acosh(std::sqrt(x / y)) / std::sqrt(x - y);
}

TEST(CarlsonIdentities, RcMatchesClosedForms) {
    for (double x : {0.0, 1e-5, 0.25, 1.0, 3.0, 1e7}) {
        for (double ratio : {-1e6, -3.0, -1.0, -1e-3, 1e-9, 0.01, 0.49, 0.5, 0.51, 0.9, 1.0,
                             1.0 + 1e-9, 1.3, 10.0, 1e8}) {
            const double y = (x == 0 ? 1.0 : x) * ratio;
            if (x == 0 && y < 0) continue;
            const double expected = static_cast<double>(rc_closed_form(x, y));
            EXPECT_LE(relative_error(carlson_rc(x, y), expected), 4 * eps) << x << ", " << y;
        }
    }
}

// carlson_rc1p(e) = R_C(1, 1 + e) wherever 1 + e is exact.
TEST(CarlsonIdentities, Rc1pMatchesRc) {
    for (double e : {-1e6, -3.0, -1.0, -0.75, -0.5, -0.25, -0.125, 0.0, 0.125, 0.5, 3.0, 1e6}) {
        EXPECT_LE(relative_error(carlson_rc1p(e), carlson_rc(1, 1 + e)), 4 * eps) << e;
    }
}

// Degenerate arguments: divergent integrals, NaN from a principal value that
// does not exist, and termination for arguments outside the domain.
TEST(Carlson, DegenerateArguments) {
    struct Case {
        const char* what;
        double actual;
        double expected;
        double tolerance; // relative; 0 for identical bits (or both NaN)
    };
    const double three_quarter_pi = 2.356194490192345;
    const Case cases[] = {
        {"rf(0, 0, 1)", carlson_rf(0, 0, 1), INFINITY, 0},
        {"rf(0, 1, 0)", carlson_rf(0, 1, 0), INFINITY, 0},
        {"rc(1, 0)", carlson_rc(1, 0), INFINITY, 0},
        {"rd(0, 0, 1)", carlson_rd(0, 0, 1), INFINITY, 0},
        {"rd(0, 0, 2.5)", carlson_rd(0, 0, 2.5), INFINITY, 0},
        {"rd(0, 1, 1)", carlson_rd(0, 1, 1), three_quarter_pi, 2 * eps},
        {"rd(1, 0, 1)", carlson_rd(1, 0, 1), three_quarter_pi, 2 * eps},
        {"rd(2, 2, 2)", carlson_rd(2, 2, 2), 1 / (2 * std::sqrt(2.0)), 2 * eps},
        {"rj(0, 0, 1, 0)", carlson_rj(0, 0, 1, 0), NAN, 0},
        {"rj(0, -1, 1, 0)", carlson_rj(0, -1, 1, 0), NAN, 0},
        {"rj(0, -1, 1, -0.5)", carlson_rj(0, -1, 1, -0.5), NAN, 0},
        {"rj(0, -2, 1, -1)", carlson_rj(0, -2, 1, -1), NAN, 0},
        {"rj(nan, 1, 2, 3)", carlson_rj(NAN, 1, 2, 3), NAN, 0},
        {"rf(nan, 1, 2)", carlson_rf(NAN, 1, 2), NAN, 0},
        {"rd(1, 2, nan)", carlson_rd(1, 2, NAN), NAN, 0},
    };
    for (const Case& c : cases) {
        if (c.tolerance == 0) {
            EXPECT_TRUE(caustiqa::testing::same_double(c.actual, c.expected))
                << c.what << " = " << c.actual;
        } else {
            EXPECT_LE(relative_error(c.actual, c.expected), c.tolerance) << c.what;
        }
    }
}

} // namespace
} // namespace caustiqa::special
