// Complete elliptic integrals of the first and second kind in the parameter
// m = k^2 (not the modulus k). Domain: every m <= 1. Both are pure and
// reentrant. References: DLMF 19.2.8, 19.8 (AGM), 19.7(ii) (imaginary modulus).
#pragma once

#include "value_or_error.h"

namespace caustiqa::special {

// K(m) = integral_0^(pi/2) dθ / sqrt(1 - m sin^2 θ). Piecewise Taylor
// polynomials for -0.05 < m < 0.9, a ten-step AGM otherwise. K(1) = +inf,
// K(-inf) = 0; errors: NaN, m > 1, and finite m below about -4.61e17.
ValueOrError ellipk(double m) noexcept;

// E(m) = integral_0^(pi/2) sqrt(1 - m sin^2 θ) dθ. Negative m is mapped to
// [0, 1) by E(m) = sqrt(1 - m) E(m / (m - 1)); Taylor polynomials below 0.9,
// an AGM with a sum of squares above. E(1) = 1, E(-inf) = +inf; errors: NaN, m > 1.
ValueOrError ellipe(double m) noexcept;

} // namespace caustiqa::special
