// The order of operations of the thin ring's band test and general branch,
// written once over a lane type V (double for thin_ring_magnification, a block
// of SIMD lanes for the batch kernel; see lanes/one_lane.h).
#pragma once

#include "lanes/one_lane.h"
#include "special/math_constants.h"

namespace caustiqa::lensing {
namespace detail {

// The expansion is used within this distance of the lens (in source radii,
// widened in proportion for rings far from the lens) ...
inline constexpr double series_band = 1e-5;
// ... and only while |r - l| is small against l + r, where it is accurate;
// outside, the closed form keeps n = 4lr/(l + r)^2 at or below 1 - 1e-6.
inline constexpr double series_relative_limit = 1e-3;

} // namespace detail

namespace CAUSTIQA_TARGET {

using namespace lanes::CAUSTIQA_TARGET;
using std::fabs;
using std::sqrt;

// |delta| < 1e-5 max(1, |s| / 2) and |delta| <= 1e-3 |s|, delta = r - l and
// s = l + r (false for NaN).
template <class V> CAUSTIQA_KERNEL MaskOf<V> in_series_band(V delta, V s) noexcept {
    const V distance = fabs(delta);
    const V half = fabs(s) / 2;
    const V widened = select(1.0 < half, half, V(1.0)); // std::max(1.0, half)
    return (distance < detail::series_band * widened) &
           (distance <= detail::series_relative_limit * fabs(s));
}

// The Einstein radius in source radii, w = re / rstar: the length of the ring
// formulas.
template <class V> CAUSTIQA_KERNEL V einstein_radius_in_source_radii(V re, V rstar) noexcept {
    return re / rstar;
}

// The general branch's parameter m = k^2, k = sqrt(l r / q2) (4 w / s), its
// characteristic n = 4 l r / s^2 and the factor 4 / (s sqrt(q2)), with
// q2 = 4 w^2 + delta^2; w = re / rstar.
template <class V> struct RingArguments {
    V delta, m, n, factor;
};

template <class V> CAUSTIQA_KERNEL RingArguments<V> ring_arguments(V l, V r, V w, V w2) noexcept {
    const V delta = r - l;
    const V s = l + r;
    const V q2 = w2 * 4 + delta * delta;
    const V k = sqrt((l * r) / q2) * ((w * 4) / s);
    // n and the final factor do not depend on K: formed first, their divisions
    // overlap the elliptic integrals instead of waiting for them.
    const V n = ((l * 4) * r) / (s * s);
    const V factor = 4 / (s * sqrt(q2));
    return {delta, k * k, n, factor};
}

// (2 w^2 K + delta^2 Pi) times the factor, over 2 pi.
template <class V>
CAUSTIQA_KERNEL V ring_value(const RingArguments<V>& g, V w2, V big_k, V big_pi) noexcept {
    return (((w2 + w2) * big_k + (g.delta * g.delta) * big_pi) * g.factor) / two_pi;
}

} // namespace CAUSTIQA_TARGET
} // namespace caustiqa::lensing
