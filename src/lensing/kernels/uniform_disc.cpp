#include "uniform_disc.h"

#include <cmath>

#include "disc_far_field.h"
#include "disc_formula.h"
#include "special/complete.h"
#include "special/ellippi.h"
#include "special/math_constants.h"

namespace caustiqa::lensing {

using namespace CAUSTIQA_TARGET;

double uniform_disc_magnification(double u, double rho) noexcept {
    // A NaN rho takes neither of the first two branches.
    if (rho <= 0) {
        const double u2 = u * u;
        return (u2 + 2) / (u * std::sqrt(u2 + 4));
    }
    if (in_edge_band(u, rho)) {
        const double rho2 = rho * rho;
        const double a = 2 / rho;
        const double b = (1 + rho2) / rho2;
        const double c = std::asin((rho2 - 1) / (rho2 + 1)) + half_pi;
        return (c * b + a) / pi;
    }
    // Far from the source the closed form below cancels (its error grows like
    // (u/rho)^2 ulps); the expansion of the disc mean is exact there.
    if (in_disc_far_field(u, rho)) return disc_far_field(u, rho);

    const DiscArguments<double> g = disc_arguments(u, rho);
    const special::ValueOrError e = special::ellipe(g.m);
    if (e.is_error()) return not_a_number;
    const special::ValueOrError big_k = special::ellipk(g.m);
    if (big_k.is_error()) return not_a_number;
    const special::ValueOrError big_pi = special::ellippi(g.n, g.m);
    if (big_pi.is_error()) return not_a_number;
    return disc_value(u, rho, g, e.value(), big_k.value(), big_pi.value());
}

} // namespace caustiqa::lensing
