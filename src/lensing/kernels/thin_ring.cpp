#include "thin_ring.h"

#include <cmath>

#include "ring_formula.h"
#include "special/complete.h"
#include "special/ellippi.h"
#include "special/math_constants.h"

namespace caustiqa::lensing {

using namespace CAUSTIQA_TARGET;

special::ValueOrError thin_ring_magnification(double l, double r, double re,
                                              double rstar) noexcept {
    const double w = einstein_radius_in_source_radii(re, rstar);
    const double w2 = w * w;
    const double delta = r - l;

    if (in_series_band(delta, l + r)) {
        // Expansion of the ring mean about a ring through the lens.
        const double t1 = (1 - delta / (l + l)) * ((w + w) / l);
        const double log_term =
            std::log(((8 * w) * l) / (std::sqrt(l * l + w2) * std::fabs(delta)));
        const double t2 = std::atan(l / w) * 4;
        const double t3 = ((((l * l) + (l * l)) + w2) * w / ((l * l + w2) * (l * l))) * delta;
        return special::ValueOrError::value_of(((log_term * t1 + t2) + t3) / two_pi);
    }

    // A = (2/pi) (2w^2 K(m) + (r - l)^2 Pi(n, m)) / ((l + r) sqrt(4w^2 + (r - l)^2)).
    const RingArguments<double> g = ring_arguments(l, r, w, w2);
    const special::ValueOrError big_k = special::ellipk(g.m);
    if (big_k.is_error()) return big_k;
    const special::ValueOrError big_pi = special::ellippi(g.n, g.m);
    if (big_pi.is_error()) return big_pi;
    return special::ValueOrError::value_of(ring_value(g, w2, big_k.value(), big_pi.value()));
}

double thin_ring_magnification_or_nan(double l, double r, double re, double rstar) noexcept {
    return thin_ring_magnification(l, r, re, rstar).value_or_nan();
}

} // namespace caustiqa::lensing
