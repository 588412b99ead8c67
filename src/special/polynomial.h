// Horner evaluation of a polynomial whose coefficients are stored lowest
// degree first: c[0] + c[1] t + ... + c[N-1] t^(N-1). Each step is a rounded
// multiplication followed by a rounded addition (the build forbids fusing).
#pragma once

#include <cstddef>

namespace caustiqa::special {

template <std::size_t N>
constexpr double evaluate_polynomial(const double (&c)[N], double t) noexcept {
    static_assert(N > 0);
    double p = c[N - 1];
    for (std::size_t j = N - 1; j-- > 0;) {
        p = p * t + c[j];
    }
    return p;
}

} // namespace caustiqa::special
