// Carlson's symmetric elliptic integrals by the duplication algorithm with a
// seventh-order series (B. C. Carlson, Numer. Algorithms 10 (1995) 13-26;
// DLMF 19.16, 19.36). Plain doubles in and out: non-convergence or invalid
// input gives NaN, or an infinity under IEEE rules. No function can loop
// without end, for any arguments.
#pragma once

namespace caustiqa::special {

// R_C(x, y) = 1/2 ∫_0^∞ dt / ((t + y) sqrt(t + x)); principal value for y < 0.
double carlson_rc(double x, double y) noexcept;

// R_C(1, 1 + e), without cancellation for e near 0 and near -1.
double carlson_rc1p(double e) noexcept;

// R_F(x, y, z) = 1/2 ∫_0^∞ dt / sqrt((t + x)(t + y)(t + z)); x, y, z >= 0,
// at most one zero. At most eleven duplication steps (NaN beyond).
double carlson_rf(double x, double y, double z) noexcept;

// R_D(x, y, z) = 3/2 ∫_0^∞ dt / ((t + z) sqrt((t + x)(t + y)(t + z))).
// R_D(0, 0, z) = +inf. At most fifty duplication steps (NaN beyond).
double carlson_rd(double x, double y, double z) noexcept;

// R_J(x, y, z, p) = 3/2 ∫_0^∞ dt / ((t + p) sqrt((t + x)(t + y)(t + z))),
// principal value for p < 0 (applied once; where the transformed p' is not
// positive the principal value is NaN). At most one hundred duplication steps.
double carlson_rj(double x, double y, double z, double p) noexcept;

} // namespace caustiqa::special
