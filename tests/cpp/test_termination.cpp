// Every numerical routine terminates, without crashing, for every combination
// of special doubles in every argument position. A routine that looped would
// hang this program (meson's timeout then fails it); each call must also give
// a result of the documented kind (a value or an error, never both).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "lensing/kernels/thin_ring.h"
#include "lensing/kernels/uniform_disc.h"
#include "lensing/sources/linear_interpolation.h"
#include "quadrature/tanh_sinh.h"
#include "special/carlson.h"
#include "special/complete.h"
#include "special/ellippi.h"

namespace {

using namespace caustiqa;

std::vector<double> special_values() {
    const double base[] = {0.0,
                           DBL_TRUE_MIN,
                           DBL_MIN,
                           1.0,
                           std::nextafter(1.0, 2.0),
                           std::nextafter(std::nextafter(1.0, 2.0), 2.0),
                           std::nextafter(1.0, 0.0),
                           std::nextafter(std::nextafter(1.0, 0.0), 0.0),
                           0.5,
                           1e-300,
                           1e300,
                           DBL_MAX,
                           INFINITY};
    std::vector<double> values;
    for (const double v : base) {
        values.push_back(v);
        values.push_back(-v);
    }
    values.push_back(NAN);
    return values;
}

const std::vector<double> values = special_values();

// A value-or-error is either a message starting with the function's name or a double.
void expect_well_formed(const special::ValueOrError& result, const char* name) {
    if (result.is_error()) {
        EXPECT_EQ(std::string(result.error()).rfind(name, 0), 0u) << result.error();
    }
}

TEST(Termination, CompleteIntegrals) {
    for (const double m : values) {
        expect_well_formed(special::ellipk(m), "ellipk:");
        expect_well_formed(special::ellipe(m), "ellipe:");
    }
}

TEST(Termination, ThirdKind) {
    for (const double n : values) {
        for (const double m : values) {
            const special::ValueOrError result = special::ellippi(n, m);
            if (result.is_error()) {
                const std::string message = result.error();
                EXPECT_TRUE(message.rfind("ellippi:", 0) == 0 || message.rfind("ellipk:", 0) == 0 ||
                            message.rfind("ellipe:", 0) == 0)
                    << message;
            }
        }
    }
}

// Below: results that no value can violate. The Carlson integrals of
// non-negative arguments are non-negative (or NaN, for instance at infinities).
bool non_negative(double v) {
    return !(v < 0);
}

TEST(Termination, CarlsonFunctions) {
    for (const double x : values) {
        EXPECT_TRUE(non_negative(special::carlson_rc1p(std::fabs(x)))) << x;
        for (const double y : values) {
            EXPECT_TRUE(non_negative(special::carlson_rc(std::fabs(x), std::fabs(y)))) << x << y;
            for (const double z : values) {
                const double ax = std::fabs(x), ay = std::fabs(y), az = std::fabs(z);
                EXPECT_TRUE(non_negative(special::carlson_rf(ax, ay, az))) << x << y << z;
                EXPECT_TRUE(non_negative(special::carlson_rd(ax, ay, az))) << x << y << z;
                for (const double p : values) {
                    const double rj = special::carlson_rj(x, y, z, p);
                    if (p > 0) {
                        EXPECT_TRUE(non_negative(special::carlson_rj(ax, ay, az, p)))
                            << ax << " " << ay << " " << az << " " << p;
                    }
                    (void)rj; // any sign for negative arguments (principal values)
                }
            }
        }
    }
}

TEST(Termination, Magnifications) {
    for (const double a : values) {
        for (const double b : values) {
            const double disc = lensing::uniform_disc_magnification(a, b);
            if (!std::signbit(a)) {
                EXPECT_TRUE(std::isnan(disc) || disc >= 1 - 1e-12) << a << " " << b;
            }
            for (const double c : values) {
                for (const double d : values) {
                    expect_well_formed(lensing::thin_ring_magnification(a, b, c, d), "ellip");
                }
            }
        }
    }
}

// An interpolated value lies between the table's values and the outside value 0.
TEST(Termination, Interpolation) {
    for (const double a : values) {
        for (const double b : values) {
            const double x[] = {a, b, 0.5};
            const double y[] = {b, a};
            const double low = std::fmin(0.0, std::fmin(a, b)),
                         high = std::fmax(0.0, std::fmax(a, b));
            for (const double xp : values) {
                for (const double v : {special::linear_interpolate(x, y, xp, 0.0),
                                       special::linear_interpolate(std::span(x, 2), y, xp, 0.0)}) {
                    EXPECT_TRUE(std::isnan(v) || (low <= v && v <= high))
                        << a << " " << b << " " << xp;
                }
            }
        }
    }
}

TEST(Termination, Quadrature) {
    for (const double a : values) {
        for (const double b : values) {
            for (const double tol : values) {
                const auto f = [a](double r) { return r * a; };
                const quadrature::QuadratureResult result =
                    quadrature::tanh_sinh_integrate(f, a, b, tol);
                EXPECT_GE(result.evaluations, 25u);
                EXPECT_LE(result.evaluations, 385u);
            }
        }
    }
}

} // namespace
