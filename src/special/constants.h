// Numerical constants shared by the elliptic integrals.
#pragma once

#include "math_constants.h"

namespace caustiqa::special::detail {

inline constexpr double epsilon = 2.220446049250313e-16; // 2^-52
using caustiqa::half_pi;
using caustiqa::pi;

inline constexpr double one_below = 0.9999999999999998; // 1 - 2^-52

inline constexpr double agm_tolerance = 5.995204332975846e-16; // 2.7 * 2^-52

// An AGM loop converges quadratically once its two means are within a factor
// of two; from any finite positive start that takes well under 64 steps. The
// limit only stops loops whose arguments can never meet (infinite or NaN
// operands already end them by their comparison).
inline constexpr int agm_safety_limit = 200;

} // namespace caustiqa::special::detail
