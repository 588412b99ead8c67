// Every numerical routine terminates, without crashing, for every combination
// of special doubles in every argument position. A routine that looped would
// hang this program (meson's timeout then fails it); each call must also give
// a result of the documented kind (a value or an error, never both).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "lensing/tanh_sinh.h"
#include "lensing/thin_ring.h"
#include "lensing/uniform_disc.h"
#include "special/carlson.h"
#include "special/complete.h"
#include "special/ellippi.h"
#include "special/linear_interpolation.h"

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

TEST(Termination, CarlsonFunctions) {
    volatile double sink = 0;
    for (const double x : values) {
        sink = special::carlson_rc1p(x);
        for (const double y : values) {
            sink = special::carlson_rc(x, y);
            for (const double z : values) {
                sink = special::carlson_rf(x, y, z);
                sink = special::carlson_rd(x, y, z);
                for (const double p : values)
                    sink = special::carlson_rj(x, y, z, p);
            }
        }
    }
    (void)sink;
}

TEST(Termination, Magnifications) {
    volatile double sink = 0;
    for (const double a : values) {
        for (const double b : values) {
            sink = lensing::uniform_disc_magnification(a, b);
            for (const double c : values) {
                for (const double d : values) {
                    expect_well_formed(lensing::thin_ring_magnification(a, b, c, d), "ellip");
                }
            }
        }
    }
    (void)sink;
}

TEST(Termination, Interpolation) {
    volatile double sink = 0;
    for (const double a : values) {
        for (const double b : values) {
            const double x[] = {a, b, 0.5};
            const double y[] = {b, a};
            for (const double xp : values) {
                sink = special::linear_interpolate(x, y, xp, 0.0);
                sink = special::linear_interpolate(std::span(x, 2), y, xp, 0.0);
            }
        }
    }
    (void)sink;
}

TEST(Termination, Quadrature) {
    for (const double a : values) {
        for (const double b : values) {
            for (const double tol : values) {
                const auto f = [a](double r) { return r * a; };
                const lensing::QuadratureResult result = lensing::tanh_sinh_integrate(f, a, b, tol);
                EXPECT_GE(result.evaluations, 25u);
                EXPECT_LE(result.evaluations, 385u);
            }
        }
    }
}

} // namespace
