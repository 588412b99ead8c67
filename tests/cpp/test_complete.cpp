// K(m) and E(m): agreement with high-precision reference values per regime,
// the exact values and messages at the edges of the domain, the stored Taylor
// coefficients, and continuity across the rows of the polynomial path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "reference/elliptic_reference.h"
#include "relative_error.h"
#include "special/complete.h"
#include "special/complete_tables.h"

namespace caustiqa::special {
namespace {

namespace ref = caustiqa::testing::reference;
using caustiqa::testing::relative_error;
using caustiqa::testing::same_double;

constexpr double nan = __builtin_nan("");
constexpr double inf = INFINITY;

// Units in the last place between two finite doubles of the same sign.
long long ulps_apart(double a, double b) {
    const auto d = static_cast<long long>(caustiqa::testing::bits(a) - caustiqa::testing::bits(b));
    return d < 0 ? -d : d;
}

using Function = ValueOrError (*)(double) noexcept;

// Worst relative error of f over a group, with every row checked against bound.
void check_group(Function f, const ref::Group<ref::Row1>& group, double bound) {
    double worst = 0.0;
    double worst_m = 0.0;
    for (const auto& row : group.rows) {
        const ValueOrError r = f(row.m);
        ASSERT_FALSE(r.is_error()) << "m = " << row.m << ": " << r.error();
        const double error = relative_error(r.value(), row.value);
        EXPECT_LE(error, bound) << group.label << ", m = " << row.m;
        if (error > worst) worst = error, worst_m = row.m;
    }
    std::printf("[  worst   ] %-48s %9.2e at m = %.17g (%zu rows)\n", group.label, worst, worst_m,
                group.rows.size());
    ::testing::Test::RecordProperty(group.name, std::to_string(worst));
}

// Per-regime bounds, a little above the measured worst case.
const std::map<std::string_view, double> k_bounds = {
    {"k_small_negative", 5e-14},  {"k_polynomial", 3e-16},
    {"k_row_boundaries", 5e-16},  {"k_agm", 5e-16},
    {"k_near_one", 5e-16},        {"k_negative", 4.5e-16},
    {"k_very_negative", 3.5e-16},
};
const std::map<std::string_view, double> e_bounds = {
    {"e_polynomial", 3e-16},      {"e_row_boundaries", 5e-16},   {"e_agm", 6e-16},
    {"e_near_one", 1.5e-15},      {"e_small_negative", 2.5e-16}, {"e_negative", 5e-16},
    {"e_very_negative", 2.5e-16},
};

std::string group_name(const ::testing::TestParamInfo<ref::Group<ref::Row1>>& info) {
    return info.param.name;
}

class KReference : public ::testing::TestWithParam<ref::Group<ref::Row1>> {};
class EReference : public ::testing::TestWithParam<ref::Group<ref::Row1>> {};

TEST_P(KReference, AgreesWithinRegionBound) {
    check_group(ellipk, GetParam(), k_bounds.at(GetParam().name));
}
TEST_P(EReference, AgreesWithinRegionBound) {
    check_group(ellipe, GetParam(), e_bounds.at(GetParam().name));
}
INSTANTIATE_TEST_SUITE_P(Regions, KReference, ::testing::ValuesIn(ref::k_groups), group_name);
INSTANTIATE_TEST_SUITE_P(Regions, EReference, ::testing::ValuesIn(ref::e_groups), group_name);

// An exact result: a value (bit for bit unless ulps > 0) or an error message.
struct Case {
    double m;
    double value;
    int ulps;
    const char* message;
};

void check_cases(Function f, const char* name, std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        const ValueOrError r = f(c.m);
        if (c.message != nullptr) {
            ASSERT_TRUE(r.is_error()) << name << "(" << c.m << ") = " << r.value();
            EXPECT_STREQ(r.error(), c.message) << name << "(" << c.m << ")";
            continue;
        }
        ASSERT_FALSE(r.is_error()) << name << "(" << c.m << "): " << r.error();
        if (c.ulps == 0) {
            EXPECT_TRUE(same_double(r.value(), c.value))
                << name << "(" << c.m << ") = " << r.value() << ", expected " << c.value;
        } else {
            EXPECT_LE(ulps_apart(r.value(), c.value), c.ulps) << name << "(" << c.m << ")";
        }
    }
}

TEST(Ellipk, ExactValuesAndMessages) {
    const char* nan_message = "ellipk: Arguments cannot be NAN.";
    const char* above_one = "ellipk: m must not be greater than 1.";
    const char* unexpected = "ellipk: Unexpected error.";
    check_cases(ellipk, "ellipk",
                {
                    {0.0, 1.5707963267948966, 0, nullptr},
                    {-0.0, 1.5707963267948966, 0, nullptr},
                    {0.5, 1.8540746773013719, 1, nullptr},
                    {0.9, 2.5780921133481733, 1, nullptr},
                    {1.0, inf, 0, nullptr},
                    {-inf, 0.0, 0, nullptr},
                    {std::nextafter(1.0, 2.0), 0, 0, above_one},
                    {1.5, 0, 0, above_one},
                    {1e300, 0, 0, above_one},
                    {inf, 0, 0, above_one},
                    {nan, 0, 0, nan_message},
                    {-1e18, 0, 0, unexpected},
                    {-4.611686018427389e17, 0, 0, unexpected}, // 20 m just below -2^63
                    {-1e300, 0, 0, unexpected},
                });
    // The last finite m whose 20 m truncates to an index still has a value.
    const ValueOrError last = ellipk(-4.611686018427388e17);
    ASSERT_FALSE(last.is_error());
    EXPECT_GT(last.value(), 3e-8);
    EXPECT_LT(last.value(), 3.5e-8);
}

TEST(Ellipe, ExactValuesAndMessages) {
    const char* nan_message = "ellipe: Arguments cannot be NAN.";
    const char* above_one = "ellipe: m must not be greater than 1.";
    check_cases(ellipe, "ellipe",
                {
                    {0.0, 1.5707963267948966, 0, nullptr},
                    {-0.0, 1.5707963267948966, 0, nullptr},
                    {0.5, 1.3506438810476755, 1, nullptr},
                    {0.9, 1.1047747327040733, 1, nullptr},
                    {1.0, 1.0, 0, nullptr},
                    {-1e20, 1e10, 0, nullptr}, // c rounds to 1: sqrt(1 - m)
                    {-inf, inf, 0, nullptr},
                    {std::nextafter(1.0, 2.0), 0, 0, above_one},
                    {1.5, 0, 0, above_one},
                    {inf, 0, 0, above_one},
                    {nan, 0, 0, nan_message},
                    {-nan, 0, 0, nan_message},
                });
}

// The stored coefficients against independently published check values:
// K exactly, E within one unit in the last place.
TEST(TaylorTables, MatchCheckRows) {
    const double k_005[] = {1.5910034537907922,  0.41600074399178694, 0.24579151426410342,
                            0.17948148291490615, 0.14455605708755515, 0.12320099331242772,
                            0.10893881157429353, 0.09885340987159291, 0.09143962920174975,
                            0.0858425915954139,  0.08154111871830322, 0.07819965681125648};
    const double e_005[] = {1.5509733517804722,    -0.4003010201031985,   -0.07849861944294194,
                            -0.034318853117591995, -0.0197180433173655,   -0.01305950773199331,
                            -0.009442372874146548, -0.007246728512402157, -0.00580742401295609,
                            -0.004809187786009338, -0.00408639923325515};
    ASSERT_EQ(std::size(detail::k_taylor_0_05), std::size(k_005));
    ASSERT_EQ(std::size(detail::e_taylor_0_05), std::size(e_005));
    for (std::size_t j = 0; j < std::size(k_005); ++j) {
        EXPECT_TRUE(same_double(detail::k_taylor_0_05[j], k_005[j])) << "K c" << j;
    }
    for (std::size_t j = 0; j < std::size(e_005); ++j) {
        EXPECT_LE(ulps_apart(detail::e_taylor_0_05[j], e_005[j]), 1) << "E c" << j;
    }
    EXPECT_TRUE(same_double(detail::k_taylor_0_875[18], 499488053713388.8));
    EXPECT_NEAR(detail::k_taylor_0_875[19] / 3.79e15, 1.0, 2e-3);
    EXPECT_LE(ulps_apart(detail::e_taylor_0_875[16], -36409256888.1214), 1);
    EXPECT_TRUE(same_double(detail::k_taylor_0_75[19], 7208915015.330104));
    EXPECT_LE(ulps_apart(detail::e_taylor_0_75[16], -1104011.3443115912), 1);
}

// Degrees and constant terms K(x_c), E(x_c) of every row.
TEST(TaylorTables, DegreesAndConstantTerms) {
    struct Row {
        const double* k;
        std::size_t k_size;
        const double* e;
        std::size_t e_size;
        std::size_t k_degree, e_degree;
        double k0, e0;
    };
#define CAUSTIQA_ROW(c)                                                                            \
    detail::k_taylor_##c, std::size(detail::k_taylor_##c), detail::e_taylor_##c,                   \
        std::size(detail::e_taylor_##c)
    const Row rows[] = {
        {CAUSTIQA_ROW(0_05), 11, 10, 1.5910034537907922, 1.5509733517804722},
        {CAUSTIQA_ROW(0_15), 11, 10, 1.63525673226458, 1.5101218320928198},
        {CAUSTIQA_ROW(0_25), 11, 10, 1.685750354812596, 1.4674622093394272},
        {CAUSTIQA_ROW(0_35), 12, 11, 1.7443505972256133, 1.4226911334908792},
        {CAUSTIQA_ROW(0_45), 13, 12, 1.8138839368169826, 1.3754019718711163},
        {CAUSTIQA_ROW(0_55), 14, 12, 1.8989249102715535, 1.3250244979582302},
        {CAUSTIQA_ROW(0_65), 16, 14, 2.0075983984243764, 1.2707074796501499},
        {CAUSTIQA_ROW(0_75), 19, 16, 2.1565156474996434, 1.2110560275684594},
        {CAUSTIQA_ROW(0_825), 15, 13, 2.3181226217125106, 1.1613071521962828},
        {CAUSTIQA_ROW(0_875), 19, 16, 2.473596173751344, 1.1246173251197522},
    };
#undef CAUSTIQA_ROW
    for (const Row& row : rows) {
        SCOPED_TRACE(row.k0);
        EXPECT_EQ(row.k_size, row.k_degree + 1);
        EXPECT_EQ(row.e_size, row.e_degree + 1);
        EXPECT_TRUE(same_double(row.k[0], row.k0));
        EXPECT_LE(ulps_apart(row.e[0], row.e0), 1);
    }
}

// The row is chosen by trunc(20 m) of the rounded product, so the doubles on
// either side of a boundary may fall into either row; the two polynomials (and
// the AGM at 0.9) must meet there to about 1e-15.
TEST(TaylorTables, ContinuousAcrossRowBoundaries) {
    for (auto [f, group] : {std::pair{Function{ellipk}, &ref::k_groups[2]},
                            std::pair{Function{ellipe}, &ref::e_groups[1]}}) {
        ASSERT_NE(std::string_view(group->name).find("row_boundaries"), std::string_view::npos);
        const auto& rows = group->rows;
        ASSERT_EQ(rows.size() % 3, 0u);
        double worst = 0.0;
        for (std::size_t i = 0; i < rows.size(); i += 3) {
            const double below = f(rows[i].m).value();
            const double at = f(rows[i + 1].m).value();
            const double above = f(rows[i + 2].m).value();
            const double jump = std::fmax(std::fabs(above - at), std::fabs(at - below)) / at;
            EXPECT_LE(jump, 1.5e-15) << group->label << ", boundary " << rows[i + 1].m;
            worst = std::fmax(worst, jump);
        }
        std::printf("[  worst   ] %-48s %9.2e (largest step across a boundary)\n", group->label,
                    worst);
    }
}

} // namespace
} // namespace caustiqa::special
