#include "complete.h"

#include <cmath>

#include "branches.h"
#include "complete_kernels.h"
#include "constants.h"

namespace caustiqa::special {
namespace {

using namespace detail;
using namespace CAUSTIQA_TARGET;

// 2^63: the products 20 m beyond it, and NaN, are limits or errors (about
// |m| > 4.6e17); within it, outside the Taylor rows, m >= 1 is a limit or an
// error and the rest take the AGM.
constexpr double index_limit = 9223372036854775808.0;

bool in_index_range(double s) noexcept {
    return s >= -index_limit && s < index_limit;
}

constexpr const char* k_nan = "ellipk: Arguments cannot be NAN.";
constexpr const char* k_above_one = "ellipk: m must not be greater than 1.";
constexpr const char* k_unexpected = "ellipk: Unexpected error.";
constexpr const char* e_nan = "ellipe: Arguments cannot be NAN.";
constexpr const char* e_above_one = "ellipe: m must not be greater than 1.";

} // namespace

ValueOrError ellipk(double m) noexcept {
    const double s = 20 * m;
    if (uses_taylor_row(s)) {
        return ValueOrError::value_of(evaluate_row<k_rows>(static_cast<int>(s), m));
    }
    if (!in_index_range(s)) {
        // NaN, the infinities and |m| beyond about 4.6e17.
        if (std::isnan(m)) return ValueOrError::error_of(k_nan);
        if (m == -INFINITY) return ValueOrError::value_of(0.0);
        if (m > 1) return ValueOrError::error_of(k_above_one);
        return ValueOrError::error_of(k_unexpected);
    }

    // m <= -0.05 or m >= 0.9.
    if (m >= 1) {
        return m == 1 ? ValueOrError::value_of(INFINITY) : ValueOrError::error_of(k_above_one);
    }
    return ValueOrError::value_of(agm_quarter_period(1.0, std::sqrt(1 - m), k_agm_updates, true));
}

ValueOrError ellipe(double m) noexcept {
    double c = m;
    double scale = 1.0;
    if (m < 0) {
        if (m == -INFINITY) return ValueOrError::value_of(INFINITY);
        // Imaginary-modulus transformation; c lies in (0, 1].
        c = m / (m - 1);
        scale = std::sqrt(1 - m);
    }
    const double s = 20 * c;
    if (uses_taylor_row(s)) {
        return ValueOrError::value_of(scale * evaluate_row<e_rows>(static_cast<int>(s), c));
    }
    if (!in_index_range(s)) {
        return ValueOrError::error_of(std::isnan(c) ? e_nan : e_above_one);
    }

    // Here c >= 0.9.
    if (c >= 1) {
        return c == 1 ? ValueOrError::value_of(scale * 1) : ValueOrError::error_of(e_above_one);
    }
    // 0.9 <= c < 1: E = K (a_0^2 - sum_j 2^(j-1) (a_j - b_j)^2), AGM a_0 = 1, b_0 = sqrt(1 - c).
    return ValueOrError::value_of(scale * e_agm(c, true));
}

} // namespace caustiqa::special
