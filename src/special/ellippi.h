// Complete elliptic integral of the third kind, characteristic n first and
// parameter m = k^2 second:
//   Pi(n, m) = ∫_0^(pi/2) dθ / ((1 - n sin^2 θ) sqrt(1 - m sin^2 θ)),
// the Cauchy principal value for n > 1. Built on Pi = R_F(0, 1-m, 1) +
// (n/3) R_J(0, 1-m, 1, 1-n) (DLMF 19.25(i)) with a transformation for n < 0.
#pragma once

#include "value_or_error.h"

namespace caustiqa::special {

// Pi(n, m) for m <= 1. Errors: n = 1; NaN arguments; m > 1 (except for
// n > 1 + 2^-52, where no domain check is made and m >= n or m > 1 gives a
// NaN value). Pi(1 - 2^-53, m) = +inf for every m.
ValueOrError ellippi(double n, double m) noexcept;

} // namespace caustiqa::special
