#include "ellippi.h"

#include <cmath>

#include "branches.h"
#include "carlson.h"
#include "complete.h"
#include "constants.h"

namespace caustiqa::special {
namespace {

using namespace detail;
using namespace CAUSTIQA_TARGET;

constexpr double one_above = 1.0000000000000002; // 1 + 2^-52
// -DBL_MAX / 100: arguments below it make the integral underflow to zero.
constexpr double lower_bound = -1.7976931348623156e306;
constexpr double minus_third = -0.3333333333333333;

constexpr const char* pi_n_one = "ellippi: n cannot be 1.";
constexpr const char* pi_above_one = "ellippi: m must not be greater than 1.";
constexpr const char* pi_nan = "ellippi: Arguments cannot be NAN.";
constexpr const char* pi_unexpected = "ellippi: Unexpected error.";

// Classifies a provisional value that is infinite or NaN.
ValueOrError classify_non_finite(double n, double m) noexcept {
    if (std::isnan(n) || std::isnan(m)) return ValueOrError::error_of(pi_nan);
    if (m <= one_below) {
        if (n < lower_bound || m < lower_bound) return ValueOrError::value_of(0.0);
        return ValueOrError::error_of(pi_unexpected);
    }
    if (m > 1) return ValueOrError::error_of(pi_above_one);
    // 1 - 2^-52 < m <= 1: the integral diverges with the sign of 1 - n > 0.
    return ValueOrError::value_of(INFINITY);
}

// Pi(n, m) for n <= 0 (NaN excluded).
double non_positive_characteristic(double n, double m) noexcept {
    if (1 - m < epsilon) return -INFINITY; // classified as +inf or an error
    if (n != 0) {
        // Transform to Pi(N, m) with m < N < 1 (DLMF 19.7(iii)).
        const double big_n = (m - n) / (1 - n);
        const double p = (1 - m) / (1 - n);
        const double f = carlson_rf(0, 1 - m, 1);
        const double j = carlson_rj(0, 1 - m, 1, p);
        const double h = (-n) * (j * big_n / 3 + f) / (1 - n);
        const double k = ellipk(m).value_or_nan();
        return (1 - m) * h / (m - n) + m * k / (m - n);
    }
    if (m != 0) return ellipk(m).value_or_nan();
    return half_pi;
}

} // namespace

ValueOrError ellippi(double n, double m) noexcept {
    // The general case, the only one of the batch kernels.
    if (takes_carlson_form(n, m)) {
        const double e = carlson_rj(0, 1 - m, 1, 1 - n) * n / 3 + carlson_rf(0, 1 - m, 1);
        if (std::isfinite(e)) return ValueOrError::value_of(e);
        return classify_non_finite(n, m);
    }
    // Comparisons with NaN are false throughout.
    if (n > one_below && n <= 1) {
        // n = 1 - 2^-53 is the only double strictly between 1 - 2^-52 and 1.
        return n == 1 ? ValueOrError::error_of(pi_n_one) : ValueOrError::value_of(INFINITY);
    }
    if (n > one_above) {
        // Principal value: Pi(n, m) = K(m) - Pi(m/n, m) = -(m/3n) R_J(0, 1-m, 1, 1-m/n).
        const double f = (minus_third * m) / n;
        return ValueOrError::value_of(f * carlson_rj(0, 1 - m, 1, 1 - m / n));
    }
    if (n > 1) {
        // n = 1 + 2^-52, where the R_J form cancels: Pi = K - E / (1 - m).
        const ValueOrError k = ellipk(m);
        if (k.is_error()) return k;
        const ValueOrError e = ellipe(m);
        if (e.is_error()) return e;
        return ValueOrError::value_of(k.value() - e.value() / (1 - m));
    }

    // n <= 0, m = n, or n NaN (classified below).
    double e = not_a_number;
    if (n <= 0) {
        e = non_positive_characteristic(n, m);
    } else if (m == n) {
        e = (1 / (1 - m)) * ellipe(m).value_or_nan();
    }
    if (std::isfinite(e)) return ValueOrError::value_of(e);
    return classify_non_finite(n, m);
}

} // namespace caustiqa::special
