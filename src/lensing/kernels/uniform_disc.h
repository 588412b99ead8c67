// Magnification of a uniformly bright disc by a point lens (Witt & Mao 1994).
#pragma once

namespace caustiqa::lensing {

// The source radius in Einstein radii, rho = rstar / re, from the two radii in
// a common unit; the disc functions measure separations as u = l rho.
inline double source_rho(double re, double rstar) noexcept {
    return rstar / re;
}

// Disc of radius rho whose centre lies at distance u from the lens, both in
// Einstein radii. rho <= 0 gives the point-source value (u^2 + 2)/(u sqrt(u^2 + 4));
// within |u - rho| < 0.001 |rho| the value at u = rho; for u >= 1000 rho the
// far-field expansion of disc_far_field.h; otherwise the closed form in E, K and
// Pi. Never fails: an elliptic-integral error gives NaN.
double uniform_disc_magnification(double u, double rho) noexcept;

} // namespace caustiqa::lensing
