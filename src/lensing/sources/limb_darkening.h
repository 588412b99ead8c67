// Sources with the linear limb-darkening law I(mu) = 1 - 0.6 (1 - mu),
// mu = sqrt(1 - r^2) at fractional radius r.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "lensing/kernels/batch_kernels.h"
#include "quadrature/tanh_sinh.h"

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
// The integrand of J at x[i], i < count <= quadrature::tanh_sinh_batch_limit,
// into values[i]: A(u, rho s) (s s) with s = sqrt(1 - x^2), and 0 where
// 1 - x^2 == 0; the discs evaluated together.
inline void mu_weighted_integrand(double u, double rho, const double* x, std::size_t count,
                                  double* values) noexcept {
    double separations[quadrature::tanh_sinh_batch_limit];
    double radii[quadrature::tanh_sinh_batch_limit];
    double weights[quadrature::tanh_sinh_batch_limit];
    for (std::size_t i = 0; i < count; ++i) {
        const double s = std::sqrt(1 - x[i] * x[i]);
        separations[i] = u;
        radii[i] = rho * s;
        weights[i] = s * s;
    }
    uniform_disc_magnification_batch(separations, radii, values, count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = (1 - x[i] * x[i]) == 0 ? 0.0 : values[i] * weights[i];
    }
}
} // namespace detail

// The limb-darkened source integrated over thin rings (ring_integral.h).
std::vector<double> integrated_heyrovsky_magnification(std::span<const double> l, double re,
                                                       double rstar,
                                                       Cancellation& cancel = never_cancelled());

} // namespace caustiqa::lensing
