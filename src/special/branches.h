// The conditions under which the elliptic integrals take their general
// branch, written once over a lane type V (lanes/one_lane.h): the scalar
// functions branch on them, and the lane kernels (elliptic_lanes.h), which
// compute only the general branches, admit a lane exactly when they hold, so
// that the two cannot drift apart.
#pragma once

#include "constants.h"
#include "lanes/one_lane.h"

namespace caustiqa::special::CAUSTIQA_TARGET {

using namespace lanes::CAUSTIQA_TARGET;

// ellipk and ellipe at m, with s = 20 m: the Taylor row trunc(s) of the
// tables, 0 to 17 (m from -0.05 to 0.9; truncation toward zero sends every m
// in (-0.05, 0) to row 0 as well).
template <class V> CAUSTIQA_KERNEL MaskOf<V> uses_taylor_row(V s) noexcept {
    return (s > -1) & (s < 18);
}

// ellippi(n, m): Pi = R_J(0, 1 - m, 1, 1 - n) n / 3 + R_F(0, 1 - m, 1), for
// 0 < n <= 1 - 2^-52 and m != n (other arguments are special cases).
template <class V> CAUSTIQA_KERNEL MaskOf<V> takes_carlson_form(V n, V m) noexcept {
    return (n > 0) & (n <= detail::one_below) & (m != n);
}

// carlson_rf(x, y, z): no two arguments equal, so that no reduction to R_C
// applies (with one of them zero, R_F is then the AGM of the other two).
template <class V> CAUSTIQA_KERNEL MaskOf<V> rf_arguments_distinct(V x, V y, V z) noexcept {
    return (x != y) & (x != z) & (y != z);
}

// carlson_rj(x, y, z, p): p > 0 and none of the equalities x = y, y = z and
// z = p that reduce R_J to R_C or R_D: the duplication at once.
template <class V> CAUSTIQA_KERNEL MaskOf<V> rj_takes_duplication(V x, V y, V z, V p) noexcept {
    return (p > 0) & (x != y) & (y != z) & (z != p);
}

} // namespace caustiqa::special::CAUSTIQA_TARGET
