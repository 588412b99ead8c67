// Sources with the linear limb-darkening law I(mu) = 1 - 0.6 (1 - mu),
// mu = sqrt(1 - r^2) at fractional radius r.
#pragma once

#include <span>
#include <vector>

#include "support/cancellation.h"

namespace caustiqa::lensing {

// The unmagnified flux ∫_0^1 2 pi r I(r) dr as the quadrature computes it
// (0.8 pi = 2.5132741228718345 exactly; the quadrature's value is used so that
// an unlensed source has magnification 1 to the last bits).
inline constexpr double limb_darkened_flux = 2.5132741228717936;

// I(r) = (1 - sqrt(1 - r^2)) (-0.6) + 1: 1 at the centre, 0.4 at the rim.
struct LimbDarkeningProfile {
    double operator()(double r) const noexcept;
};
inline constexpr LimbDarkeningProfile limb_darkening_profile{};

// The limb-darkened disc as 0.4 of a uniform disc plus 0.6 of the disc with
// brightness mu, the latter integrated over concentric uniform discs:
// ((0.6 J + 0.4 A(u, rho)) pi) / F, J = ∫_0^1 (1 - mu^2) A(u, rho sqrt(1 - mu^2)) dmu,
// u = l rho, rho = rstar / re. One quadrature per separation, in order. Once
// `cancel` requests a stop, the result is cut short and is to be discarded.
std::vector<double> integrated_witt_mao_magnification(std::span<const double> l, double re,
                                                      double rstar,
                                                      Cancellation& cancel = never_cancelled());

namespace detail {
// The integrand of J at x: A(u, rho s) (s s) with s = sqrt(1 - x^2), and 0
// where 1 - x^2 == 0; integrated_witt_mao_magnification evaluates exactly
// this, a batch of points at a time.
double mu_weighted_integrand(double u, double rho, double x) noexcept;
} // namespace detail

// The limb-darkened source integrated over thin rings (ring_integral.h).
std::vector<double> integrated_heyrovsky_magnification(std::span<const double> l, double re,
                                                       double rstar,
                                                       Cancellation& cancel = never_cancelled());

} // namespace caustiqa::lensing
