#include "lensing/kernels/uniform_disc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <span>

#include "reference/disc_reference.h"
#include "reference/disc_snapshot.h"
#include "relative_error.h"

namespace caustiqa::lensing {
namespace {

using DiscReference = testing::disc::Reference;
using testing::relative_error;
using testing::same_double;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool in_edge_band(const DiscReference& row) {
    return std::fabs(row.u - row.rho) < 0.001 * row.rho;
}

// The worst relative error over a table, each row checked against a bound.
double worst_error(std::span<const DiscReference> rows, double bound, const char* name) {
    double worst = 0;
    for (const DiscReference& row : rows) {
        const double error =
            relative_error(uniform_disc_magnification(row.u, row.rho), row.magnification);
        EXPECT_LT(error, bound) << name << ": u = " << row.u << ", rho = " << row.rho;
        worst = std::fmax(worst, error);
    }
    std::printf("%-15s worst relative error %.3g over %zu rows\n", name, worst, rows.size());
    return worst;
}

TEST(UniformDisc, ClosedFormAgreesWithReferenceOutsideEdgeBand) {
    for (const DiscReference& row : testing::disc::general_branch)
        ASSERT_FALSE(in_edge_band(row));
    worst_error(testing::disc::general_branch, 1e-9, "general branch");
}

// Discs below rho = 0.01 keep the band relative to their size: a disc of radius
// 1e-7 whose centre lies 1.5e-10 from the lens is a general case, not an edge.
TEST(UniformDisc, SmallDiscsNearTheirEdgeUseClosedForm) {
    for (const DiscReference& row : testing::disc::small_discs)
        ASSERT_FALSE(in_edge_band(row));
    worst_error(testing::disc::small_discs, 1e-9, "small discs");
}

TEST(UniformDisc, EdgeBandGivesValueAtEdge) {
    for (const DiscReference& row : testing::disc::edge_band) {
        ASSERT_TRUE(in_edge_band(row));
        EXPECT_TRUE(same_double(uniform_disc_magnification(row.u, row.rho),
                                uniform_disc_magnification(row.rho, row.rho)))
            << "u = " << row.u << ", rho = " << row.rho;
    }
    worst_error(testing::disc::edge_band, 5e-3, "edge band");
}

// |u - rho| equal to 0.001 rho in double arithmetic is outside the band; one
// step of u towards rho is inside it.
TEST(UniformDisc, BandLimitTakesClosedForm) {
    for (const DiscReference& row : testing::disc::band_limit) {
        ASSERT_EQ(std::fabs(row.u - row.rho), 0.001 * row.rho);
        const double inside = std::nextafter(row.u, row.rho);
        ASSERT_LT(std::fabs(inside - row.rho), 0.001 * row.rho);
        EXPECT_TRUE(same_double(uniform_disc_magnification(inside, row.rho),
                                uniform_disc_magnification(row.rho, row.rho)));
    }
    worst_error(testing::disc::band_limit, 1e-9, "band limit");
}

TEST(UniformDisc, FarFieldAgreesWithReference) {
    for (const DiscReference& row : testing::disc::far_field)
        ASSERT_GE(row.u, 1000 * row.rho);
    worst_error(testing::disc::far_field, 1e-15, "far field");
}

// Below u = 1000 rho the results keep the bits they had before the far-field
// branch existed, on every branch (negative u included).
TEST(UniformDisc, UnchangedBelowFarField) {
    for (const testing::disc::Recorded& row : testing::disc::below_far_field) {
        ASSERT_FALSE(row.u >= 1000 * row.rho && row.rho > 0);
        EXPECT_TRUE(same_double(uniform_disc_magnification(row.u, row.rho), row.magnification))
            << "u = " << row.u << ", rho = " << row.rho;
    }
}

struct Exact {
    const char* what;
    double u, rho, expected;
    double tolerance; // relative; 0 asks for the same bits
};

constexpr Exact exact_cases[] = {
    {"point source, rho = 0", 0.5, 0.0, 2.182820625326997, 1e-15},
    {"point source, rho < 0", 2.0, -1.0, 1.0606601717798212, 1e-15},
    {"point source, rho = -0", 1.0, -0.0, 1.3416407864998738, 1e-15},
    {"point source, u < 0", -0.5, 0.0, -2.182820625326997, 1e-15},
    {"point source on the lens", 0.0, 0.0, inf, 0},
    {"point source on the lens, u = -0", -0.0, 0.0, -inf, 0},
    {"point source on the lens, rho < 0", 0.0, -1.0, inf, 0},
    {"centred on the lens, rho = 1", 0.0, 1.0, 2.23606797749979, 4e-16},
    {"centred on the lens, rho = 0.5", 0.0, 0.5, 4.123105625617661, 4e-16},
    {"centred on the lens, rho = 10", 0.0, 10.0, 1.019803902718557, 4e-16},
    {"centred on the lens, rho = 1e-3", 0.0, 1e-3, 2000.0002499999844, 4e-16},
    {"centred on the lens, rho = 1e-7", 0.0, 1e-7, 20000000.000000026, 4e-16},
    {"edge on the lens, rho = 1", 1.0, 1.0, 1.6366197723675813, 4e-16},
    {"far, u = 100 rho = 1", 100.0, 1.0, 1.000000019992003, 1e-10},
    {"far, u = 1000 rho = 10", 1000.0, 10.0, 1.000000000002, 1e-10},
    {"far, u = 50 rho = 0.5", 50.0, 0.5, 1.0000003194887668, 1e-10},
    {"far, u = 30 rho = 0.1", 30.0, 0.1, 1.0000024582074014, 1e-10},
    {"far field, u = +inf", inf, 1.0, 1.0, 0},
    {"far field, u = +inf, rho = 1e-300", inf, 1e-300, 1.0, 0},
    {"far field, smallest rho", 1.0, 5e-324, 1.3416407864998738, 1e-15},
    {"far field, u = 1e300 rho = 1e290", 1e300, 1e290, 1.0, 0},
    {"NaN u", nan, 1.0, nan, 0},
    {"NaN u, point source", nan, 0.0, nan, 0},
    {"NaN rho", 0.5, nan, nan, 0},
    {"NaN rho, u = 0", 0.0, nan, nan, 0},
};

TEST(UniformDisc, ExactBehaviours) {
    for (const Exact& c : exact_cases) {
        const double actual = uniform_disc_magnification(c.u, c.rho);
        if (c.tolerance == 0) {
            EXPECT_TRUE(same_double(actual, c.expected)) << c.what << ": " << actual;
        } else {
            EXPECT_LT(relative_error(actual, c.expected), c.tolerance) << c.what << ": " << actual;
        }
    }
}

} // namespace
} // namespace caustiqa::lensing
