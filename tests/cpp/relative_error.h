// Helpers shared by the C++ tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace caustiqa::testing {

// |actual - expected| / |expected|, aware of NaN and infinities: 0 when both
// are the same infinity or both NaN; +inf when exactly one is non-finite or
// their signs of infinity differ; the absolute difference when expected is 0.
inline double relative_error(double actual, double expected) {
    if (std::isnan(actual) || std::isnan(expected)) {
        return std::isnan(actual) && std::isnan(expected) ? 0.0 : INFINITY;
    }
    if (std::isinf(actual) || std::isinf(expected)) return actual == expected ? 0.0 : INFINITY;
    if (expected == 0) return std::fabs(actual);
    return std::fabs(actual - expected) / std::fabs(expected);
}

// The bits of a double, for exact (sign of zero, NaN payload aside) comparisons.
inline std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// True when both are NaN or both have identical bits.
inline bool same_double(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b);
}

} // namespace caustiqa::testing
