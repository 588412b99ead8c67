// The order of operations of the uniform disc's general branch and edge test,
// written once over a lane type V (double for uniform_disc_magnification, a
// block of SIMD lanes for the batch kernel; see lanes/one_lane.h).
#pragma once

#include "lanes/one_lane.h"
#include "special/math_constants.h"

namespace caustiqa::lensing {
namespace detail {

// Relative half-width of the band around u = rho where the lens sits on the
// disc's edge and the closed form is replaced by its value at u = rho.
inline constexpr double edge_band = 0.001;

} // namespace detail

namespace CAUSTIQA_TARGET {

using namespace lanes::CAUSTIQA_TARGET;
using std::fabs;
using std::sqrt;

// The lens within the edge band: 0.001 |rho| > |u - rho| (false for NaN).
template <class V> CAUSTIQA_KERNEL MaskOf<V> in_edge_band(V u, V rho) noexcept {
    return detail::edge_band * fabs(rho) > fabs(u - rho);
}

// The arguments of the elliptic integrals: characteristic n = 4 rho u / s^2
// and parameter m = k^2, k = sqrt(4 n) / q, with s = u + rho, d = u - rho and
// q = sqrt(4 + d^2).
template <class V> struct DiscArguments {
    V s, d, n, q, m;
};

template <class V> CAUSTIQA_KERNEL DiscArguments<V> disc_arguments(V u, V rho) noexcept {
    const V s = u + rho;
    const V d = u - rho;
    const V n = (4 * rho * u) / (s * s);
    const V q = sqrt(4 + d * d);
    const V k = sqrt(4 * n) / q;
    return {s, d, n, q, k * k};
}

// (T_P + (T_E - T_K)) / pi from E, K and Pi at those arguments.
template <class V>
CAUSTIQA_KERNEL V disc_value(V u, V rho, const DiscArguments<V>& g, V e, V big_k,
                             V big_pi) noexcept {
    const V rho2 = rho * rho;
    const V d2 = g.d * g.d;
    const V t_e = e * ((g.q * g.s) / (2 * rho2));
    const V t_k = ((g.d * ((u * u - rho2) * 0.5 + 4)) / (g.q * rho2)) * big_k;
    const V t_p = big_pi * (((d2 + d2) * (1 + rho2)) / (g.q * (rho2 * g.s)));
    return (t_p + (t_e - t_k)) / pi;
}

} // namespace CAUSTIQA_TARGET
} // namespace caustiqa::lensing
