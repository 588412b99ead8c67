// Mathematical constants, as the doubles nearest to them. Every formula of the
// library uses these exact values; their last bits are part of its results.
#pragma once

#include <limits>

namespace caustiqa {

// The quiet NaN that the library returns where a value is not defined.
inline constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

inline constexpr double pi = 3.141592653589793;
inline constexpr double half_pi = 1.5707963267948966;
inline constexpr double two_pi = 6.283185307179586;

} // namespace caustiqa
