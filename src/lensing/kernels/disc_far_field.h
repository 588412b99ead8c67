// The uniform disc far from the lens, where the closed form in E, K and Pi
// loses about (u/rho)^2 ulps to cancellation and an expansion is exact instead.
// Written once over a lane type V (double for uniform_disc_magnification, a
// block of SIMD lanes for the batch kernel; see lanes/one_lane.h), which must
// give the same bits.
#pragma once

#include "lanes/one_lane.h"

namespace caustiqa::lensing {
namespace detail {

// The far field starts at u = 1000 rho, the product formed in double precision.
inline constexpr double far_field_ratio = 1000;

} // namespace detail

namespace CAUSTIQA_TARGET {

using namespace lanes::CAUSTIQA_TARGET;
using std::sqrt;

// True when u >= 1000 rho; false when u or rho is NaN, and for every u < 0 when rho > 0.
template <class V> CAUSTIQA_KERNEL MaskOf<V> in_disc_far_field(V u, V rho) noexcept {
    return u >= detail::far_field_ratio * rho;
}

// Mean of the point-lens magnification A(u) = (u^2 + 2)/(u sqrt(u^2 + 4)) over a
// disc of radius rho at distance u, to second order in the Laplacian:
// A + (rho^2/8) Lap A + (rho^4/192) Lap^2 A, written in v = 1/u^2 so that it stays
// finite for large u (u = +inf gives 1). For u >= 1000 rho the truncation is below
// 3e-20 relative. For u below about 2e-31 (possible only with rho < 2e-34) the
// powers of v overflow and the result is infinite or NaN.
template <class V> CAUSTIQA_KERNEL V disc_far_field(V u, V rho) noexcept {
    // The order of every operation below fixes the last bits.
    const V v = 1 / (u * u);
    const V g = 1 + 4 * v;
    const V sg = sqrt(g);
    const V a0 = (1 + 2 * v) / sg;
    const V q = rho / u;
    const V r2 = q * q;
    const V t1 = ((4 * r2) * ((v * v) * (1 + v))) / ((g * g) * sg);
    const V t2 = ((2 * (r2 * r2)) * ((v * v) * (((12 * v + 14) * v + 6) * v + 3))) /
                 (((g * g) * (g * g)) * sg);
    return a0 + (t1 + t2);
}

} // namespace CAUSTIQA_TARGET
} // namespace caustiqa::lensing
