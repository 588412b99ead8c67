// Magnification of an infinitely thin, uniformly bright ring by a point lens
// (Heyrovsky 2003): the mean over the ring of the point-source magnification
// A_pt(x) = (x^2 + 2w^2) / (x sqrt(x^2 + 4w^2)), w = re / rstar.
#pragma once

#include "special/value_or_error.h"

namespace caustiqa::lensing {

// Ring of radius r whose centre lies at distance l from the lens; l and r in
// source radii. Closed form in K and Pi, or, for a ring passing within
// |r - l| < 1e-5 max(1, (l + r)/2) (and |r - l| <= 1e-3 (l + r)) of the lens,
// its logarithmic expansion. Errors are those of K and Pi, passed on unchanged;
// r = l > 0 gives +inf.
special::ValueOrError thin_ring_magnification(double l, double r, double re, double rstar) noexcept;

// thin_ring_magnification's value, NaN for an error. Compiled out of line, so
// that code built for another instruction set can call it (lane_kernels.h).
double thin_ring_magnification_or_nan(double l, double r, double re, double rstar) noexcept;

} // namespace caustiqa::lensing
