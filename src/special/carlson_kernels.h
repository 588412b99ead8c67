// The duplication loop of R_J, written once over a lane type V (double for
// carlson_rj, a block of SIMD lanes for the batch kernels; see
// lanes/one_lane.h). The loop runs until its last active lane has converged;
// a converged lane is frozen.
#pragma once

#include "lanes/one_lane.h"

namespace caustiqa::special {
namespace detail {

// Duplication steps of R_J: enough for full precision from any finite start.
inline constexpr int rj_duplication_limit = 100;
// (eps/5)^(-1/8): the factor by which the spread of the arguments must shrink
// below their mean before the series is used.
inline constexpr double rj_q_factor = 110.67925377307274;

} // namespace detail

namespace CAUSTIQA_TARGET {

using namespace lanes::CAUSTIQA_TARGET;
using std::fabs;
using std::fmax;
using std::sqrt;

// The seventh-order series shared by R_D and R_J.
template <class V> CAUSTIQA_KERNEL V rd_rj_series(V e2, V e3, V e4, V e5) noexcept {
    return 1 - 3 * e2 / 14 + e3 / 6 + 9 * e2 * e2 / 88 - 3 * e4 / 22 - 9 * e2 * e3 / 52 +
           3 * e5 / 26 - e2 * e2 * e2 / 16 + 3 * e3 * e3 / 40 + 3 * e2 * e4 / 20 +
           45 * e2 * e2 * e3 / 272 - 9 * (e3 * e4 + e2 * e5) / 68;
}

template <class V> struct RjDuplication {
    V value; // R_J in the converged lanes
    MaskOf<V> converged;
};

// R_J(x, y, z, p) by duplication, for arguments past the special cases of
// carlson_rj. Each step adds (f / D) R_C(1, 1 + E) to the sum, with the term
// R_C(1, 1 + E) = term(active, E, r_x, r_y, r_z, r_p, p, D); `term` may drop
// lanes from `active` (they are then not converged). `power(lanes, a)` is
// a^(-3/2) in the given lanes (a libm call).
template <class V, class Term, class Power>
CAUSTIQA_KERNEL RjDuplication<V> rj_duplication(V x, V y, V z, V p, MaskOf<V> active,
                                                const Term& term, const Power& power) noexcept {
    using M = MaskOf<V>;
    const V x0 = x;
    const V y0 = y;
    const V z0 = z;
    const V a0 = (2 * p + x + y + z) / 5;
    V delta = (p - x) * (p - y) * (p - z);
    const V q = detail::rj_q_factor *
                fmax(fmax(fmax(fabs(a0 - x), fabs(a0 - y)), fabs(a0 - z)), fabs(a0 - p));
    V a = a0;
    V f = 1.0; // 4^-k
    V sum = 0.0;
    M converged = false;
    for (int step = 0; step < detail::rj_duplication_limit && any(active); ++step) {
        const V rx = sqrt(x);
        const V ry = sqrt(y);
        const V rz = sqrt(z);
        const V rp = sqrt(p);
        const V d = (rp + rx) * (rp + ry) * (rp + rz);
        const V e = delta / (d * d);
        const V rc = term(active, e, rx, ry, rz, rp, p, d);
        sum = select(active, sum + f / d * rc, sum);
        const V lambda = rx * ry + rx * rz + ry * rz;
        a = select(active, (a + lambda) / 4, a);
        f = select(active, f / 4, f);
        const M done = active & (a > f * q);
        converged = converged | done;
        active = active & !done;
        // A converged lane never reads these again: no need to freeze them.
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        p = (p + lambda) / 4;
        delta = delta / 64;
    }
    if (none(converged)) return {V(0.0), converged};
    const V dx = f * (a0 - x0) / a;
    const V dy = f * (a0 - y0) / a;
    const V dz = f * (a0 - z0) / a;
    const V dp = (-dx - dy - dz) / 2;
    const V e2 = dx * dy + dx * dz + dy * dz - 3 * dp * dp;
    const V e3 = dx * dy * dz + 2 * e2 * dp + 4 * dp * dp * dp;
    const V e4 = (2 * dx * dy * dz + e2 * dp + 3 * dp * dp * dp) * dp;
    const V e5 = dx * dy * dz * dp * dp;
    return {f * power(converged, a) * rd_rj_series(e2, e3, e4, e5) + 6 * sum, converged};
}

} // namespace CAUSTIQA_TARGET
} // namespace caustiqa::special
