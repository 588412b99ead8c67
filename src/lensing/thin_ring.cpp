#include "thin_ring.h"

#include <algorithm>
#include <cmath>

#include "special/complete.h"
#include "special/ellippi.h"
#include "support/math_constants.h"

namespace caustiqa::lensing {
namespace {

// The expansion is used within this distance of the lens (in source radii,
// widened in proportion for rings far from the lens) ...
constexpr double series_band = 1e-5;
// ... and only while |r - l| is small against l + r, where it is accurate;
// outside, the closed form keeps n = 4lr/(l + r)^2 at or below 1 - 1e-6.
constexpr double series_relative_limit = 1e-3;

bool in_series_band(double delta, double s) noexcept {
    const double distance = std::fabs(delta);
    return distance < series_band * std::max(1.0, std::fabs(s) / 2) &&
           distance <= series_relative_limit * std::fabs(s);
}

} // namespace

special::ValueOrError thin_ring_magnification(double l, double r, double re,
                                              double rstar) noexcept {
    const double w = re / rstar;
    const double w2 = w * w;
    const double delta = r - l;
    const double s = l + r;

    if (in_series_band(delta, s)) {
        // Expansion of the ring mean about a ring through the lens.
        const double t1 = (1 - delta / (l + l)) * ((w + w) / l);
        const double log_term =
            std::log(((8 * w) * l) / (std::sqrt(l * l + w2) * std::fabs(delta)));
        const double t2 = std::atan(l / w) * 4;
        const double t3 = ((((l * l) + (l * l)) + w2) * w / ((l * l + w2) * (l * l))) * delta;
        return special::ValueOrError::value_of(((log_term * t1 + t2) + t3) / two_pi);
    }

    // A = (2/pi) (2w^2 K(m) + (r - l)^2 Pi(n, m)) / ((l + r) sqrt(4w^2 + (r - l)^2)).
    const double q2 = w2 * 4 + delta * delta;
    const double k = std::sqrt((l * r) / q2) * ((w * 4) / s);
    const double m = k * k;
    // n and the final factor do not depend on K: formed first, their divisions
    // overlap the elliptic integrals instead of waiting for them.
    const double n = ((l * 4) * r) / (s * s);
    const double factor = 4 / (s * std::sqrt(q2));
    const special::ValueOrError big_k = special::ellipk(m);
    if (big_k.is_error()) return big_k;
    const special::ValueOrError big_pi = special::ellippi(n, m);
    if (big_pi.is_error()) return big_pi;
    return special::ValueOrError::value_of(
        (((w2 + w2) * big_k.value() + (delta * delta) * big_pi.value()) * factor) / two_pi);
}

} // namespace caustiqa::lensing
