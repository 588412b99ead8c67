// A radial brightness profile given as a table: knot radii bl (fractions of
// the source radius) and brightness bf, read by linear interpolation and dark
// (0.0) outside the knots; one knot is a constant profile, none a dark one.
#pragma once

#include <span>

#include "linear_interpolation.h"

namespace caustiqa::lensing {

class TabulatedProfile {
public:
    // Borrows bl and bf, which must outlive the profile.
    TabulatedProfile(std::span<const double> bl, std::span<const double> bf)
        : interpolant_(bl, bf) {}
    double operator()(double r) const noexcept { return interpolant_(r, 0.0); }

private:
    special::LinearInterpolant interpolant_;
};

// The unmagnified flux F = ∫_0^1 I(r) (2 pi r) dr, by the tanh-sinh quadrature.
double profile_flux(const TabulatedProfile& profile) noexcept;

} // namespace caustiqa::lensing
