#include "uniform_disc.h"

#include <cmath>

#include "disc_far_field.h"
#include "special/complete.h"
#include "special/ellippi.h"
#include "support/math_constants.h"

namespace caustiqa::lensing {
namespace {

// Relative half-width of the band around u = rho where the lens sits on the
// disc's edge and the closed form is replaced by its value at u = rho.
constexpr double edge_band = 0.001;

} // namespace

double uniform_disc_magnification(double u, double rho) noexcept {
    // A NaN rho takes neither of the first two branches.
    if (rho <= 0) {
        const double u2 = u * u;
        return (u2 + 2) / (u * std::sqrt(u2 + 4));
    }
    const double rho2 = rho * rho;
    if (edge_band * std::fabs(rho) > std::fabs(u - rho)) {
        const double a = 2 / rho;
        const double b = (1 + rho2) / rho2;
        const double c = std::asin((rho2 - 1) / (rho2 + 1)) + half_pi;
        return (c * b + a) / pi;
    }
    // Far from the source the closed form below cancels (its error grows like
    // (u/rho)^2 ulps); the expansion of the disc mean is exact there.
    if (detail::in_disc_far_field(u, rho)) return detail::disc_far_field(u, rho);

    const double s = u + rho;
    const double d = u - rho;
    const double n = (4 * rho * u) / (s * s);
    const double q = std::sqrt(4 + d * d);
    const double k = std::sqrt(4 * n) / q;
    const double m = k * k;
    const special::ValueOrError e = special::ellipe(m);
    if (e.is_error()) return NAN;
    const special::ValueOrError big_k = special::ellipk(m);
    if (big_k.is_error()) return NAN;
    const special::ValueOrError big_pi = special::ellippi(n, m);
    if (big_pi.is_error()) return NAN;

    const double d2 = d * d;
    const double t_e = e.value() * ((q * s) / (2 * rho2));
    const double t_k = ((d * ((u * u - rho2) * 0.5 + 4)) / (q * rho2)) * big_k.value();
    const double t_p = big_pi.value() * (((d2 + d2) * (1 + rho2)) / (q * (rho2 * s)));
    return (t_p + (t_e - t_k)) / pi;
}

} // namespace caustiqa::lensing
