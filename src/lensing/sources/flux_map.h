// Sources with a tabulated radial brightness profile (bl, bf): the profile
// integrated over annuli of uniform discs, or over thin rings.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "support/cancellation.h"

namespace caustiqa::lensing {

// Magnification of the annulus between fractional radii r - 0.0001 and
// r + 0.0001 (clamped to [0, 1]) of a source of radius rho at separation u, as
// the difference of two uniform discs weighted by their areas; NaN when the
// clamped annulus is empty.
double annulus_magnification(double u, double rho, double r) noexcept;

class TabulatedProfile;

namespace detail {
// The integrand of the annulus integral, I(r) ((2 pi r) A_annulus(u, rho, r)),
// at r[i], i < count <= quadrature::tanh_sinh_batch_limit, into values[i], the
// discs of all the annuli evaluated together.
void annulus_integrand(const double* r, std::size_t count, double u, double rho,
                       const TabulatedProfile& profile, double* values) noexcept;
} // namespace detail

// (1/F) ∫_0^1 I(r) (2 pi r) A_annulus(l rho, rho, r) dr per separation, with I
// the tabulated profile, F its flux and rho = rstar / re; the integral is split
// at r = l for 0 < l < 1, where the annulus through the lens peaks. NaN where no
// sample of the integrand is finite. Unequal lengths of bl and bf are a fatal
// failure, checked before anything is computed. Once `cancel` requests a stop,
// the result is cut short and is to be discarded.
std::vector<double>
integrated_flux_map_witt_mao_magnification(std::span<const double> l, double re, double rstar,
                                           std::span<const double> bl, std::span<const double> bf,
                                           Cancellation& cancel = never_cancelled());

// The tabulated profile through the thin-ring integral of ring_integral.h.
// Unequal lengths of bl and bf are a fatal failure.
std::vector<double>
integrated_flux_map_heyrovsky_magnification(std::span<const double> l, double re, double rstar,
                                            std::span<const double> bl, std::span<const double> bf,
                                            Cancellation& cancel = never_cancelled());

} // namespace caustiqa::lensing
