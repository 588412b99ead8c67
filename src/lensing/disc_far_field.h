// The uniform disc far from the lens, where the closed form in E, K and Pi
// loses about (u/rho)^2 ulps to cancellation and an expansion is exact instead.
// Shared by the scalar disc and its batch versions, which must give the same bits.
#pragma once

#include <cmath>

namespace caustiqa::lensing::detail {

// The far field starts at u = 1000 rho, the product formed in double precision.
inline constexpr double far_field_ratio = 1000;

// True when u >= 1000 rho; false when u or rho is NaN, and for every u < 0 when rho > 0.
inline bool in_disc_far_field(double u, double rho) noexcept {
    return u >= far_field_ratio * rho;
}

// Mean of the point-lens magnification A(u) = (u^2 + 2)/(u sqrt(u^2 + 4)) over a
// disc of radius rho at distance u, to second order in the Laplacian:
// A + (rho^2/8) Lap A + (rho^4/192) Lap^2 A, written in v = 1/u^2 so that it stays
// finite for large u (u = +inf gives 1). For u >= 1000 rho the truncation is below
// 3e-20 relative. For u below about 2e-31 (possible only with rho < 2e-34) the
// powers of v overflow and the result is infinite or NaN.
inline double disc_far_field(double u, double rho) noexcept {
    // The order of every operation below fixes the last bits; batch versions copy it.
    const double v = 1 / (u * u);
    const double g = 1 + 4 * v;
    const double sg = std::sqrt(g);
    const double a0 = (1 + 2 * v) / sg;
    const double q = rho / u;
    const double r2 = q * q;
    const double t1 = ((4 * r2) * ((v * v) * (1 + v))) / ((g * g) * sg);
    const double t2 = ((2 * (r2 * r2)) * ((v * v) * (((12 * v + 14) * v + 6) * v + 3))) /
                      (((g * g) * (g * g)) * sg);
    return a0 + (t1 + t2);
}

} // namespace caustiqa::lensing::detail
