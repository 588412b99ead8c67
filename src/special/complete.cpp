#include "complete.h"

#include <cmath>
#include <cstdint>

#include "complete_tables.h"
#include "constants.h"
#include "polynomial.h"

namespace caustiqa::special {
namespace {

using namespace detail;

// 2^63: the products 20 m that truncate to a signed 64-bit index lie in [-2^63, 2^63).
constexpr double index_limit = 9223372036854775808.0;

bool in_index_range(double s) noexcept {
    return s >= -index_limit && s < index_limit;
}

// clang-format off
// The polynomial rows; index i = trunc(20 x) in 0..17 selects row i / 2 below
// 16, and rows 8 and 9 for 16 and 17.
double k_polynomial(std::int64_t i, double m) noexcept {
    switch (i) {
    case 0: case 1: return evaluate_polynomial(k_taylor_0_05, m - 0.05);
    case 2: case 3: return evaluate_polynomial(k_taylor_0_15, m - 0.15);
    case 4: case 5: return evaluate_polynomial(k_taylor_0_25, m - 0.25);
    case 6: case 7: return evaluate_polynomial(k_taylor_0_35, m - 0.35);
    case 8: case 9: return evaluate_polynomial(k_taylor_0_45, m - 0.45);
    case 10: case 11: return evaluate_polynomial(k_taylor_0_55, m - 0.55);
    case 12: case 13: return evaluate_polynomial(k_taylor_0_65, m - 0.65);
    case 14: case 15: return evaluate_polynomial(k_taylor_0_75, m - 0.75);
    case 16: return evaluate_polynomial(k_taylor_0_825, m - 0.825);
    default: return evaluate_polynomial(k_taylor_0_875, m - 0.875);
    }
}

double e_polynomial(std::int64_t i, double c) noexcept {
    switch (i) {
    case 0: case 1: return evaluate_polynomial(e_taylor_0_05, c - 0.05);
    case 2: case 3: return evaluate_polynomial(e_taylor_0_15, c - 0.15);
    case 4: case 5: return evaluate_polynomial(e_taylor_0_25, c - 0.25);
    case 6: case 7: return evaluate_polynomial(e_taylor_0_35, c - 0.35);
    case 8: case 9: return evaluate_polynomial(e_taylor_0_45, c - 0.45);
    case 10: case 11: return evaluate_polynomial(e_taylor_0_55, c - 0.55);
    case 12: case 13: return evaluate_polynomial(e_taylor_0_65, c - 0.65);
    case 14: case 15: return evaluate_polynomial(e_taylor_0_75, c - 0.75);
    case 16: return evaluate_polynomial(e_taylor_0_825, c - 0.825);
    default: return evaluate_polynomial(e_taylor_0_875, c - 0.875);
    }
}

// clang-format on

// Ten AGM updates reach full double precision for every 1 - m >= 2^-53.
constexpr int k_agm_updates = 10;

constexpr const char* k_nan = "ellipk: Arguments cannot be NAN.";
constexpr const char* k_above_one = "ellipk: m must not be greater than 1.";
constexpr const char* k_unexpected = "ellipk: Unexpected error.";
constexpr const char* e_nan = "ellipe: Arguments cannot be NAN.";
constexpr const char* e_above_one = "ellipe: m must not be greater than 1.";

} // namespace

ValueOrError ellipk(double m) noexcept {
    const double s = 20 * m;
    if (!in_index_range(s)) {
        // NaN, the infinities and |m| beyond about 4.6e17.
        if (std::isnan(m)) return ValueOrError::error_of(k_nan);
        if (m == -INFINITY) return ValueOrError::value_of(0.0);
        if (m > 1) return ValueOrError::error_of(k_above_one);
        return ValueOrError::error_of(k_unexpected);
    }
    const auto i = static_cast<std::int64_t>(s);
    // Truncation toward zero sends every m in (-0.05, 0) to row 0 as well.
    if (i >= 0 && i <= 17) return ValueOrError::value_of(k_polynomial(i, m));

    // m <= -0.05 or m >= 0.9.
    if (m >= 1) {
        return m == 1 ? ValueOrError::value_of(INFINITY) : ValueOrError::error_of(k_above_one);
    }
    double a = 1.0;
    double b = std::sqrt(1 - m);
    for (int update = 0; update < k_agm_updates; ++update) {
        if (std::fabs(a - b) < agm_tolerance * std::fabs(a)) break;
        const double mean = (a + b) * 0.5;
        b = std::sqrt(a * b);
        a = mean;
    }
    return ValueOrError::value_of(pi / (a + b));
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
    if (!in_index_range(s)) {
        return ValueOrError::error_of(std::isnan(c) ? e_nan : e_above_one);
    }
    const auto i = static_cast<std::int64_t>(s);
    if (i >= 0 && i <= 17) return ValueOrError::value_of(scale * e_polynomial(i, c));

    // Here c >= 0.9.
    if (c >= 1) {
        return c == 1 ? ValueOrError::value_of(scale * 1) : ValueOrError::error_of(e_above_one);
    }
    // 0.9 <= c < 1: E = K (a_0^2 - sum_j 2^(j-1) (a_j - b_j)^2), AGM a_0 = 1, b_0 = sqrt(1 - c).
    const double x0 = 1.0;
    const double y0 = std::sqrt(1 - c);
    double x = x0;
    double y = y0;
    double sum = 0.0;
    double weight = 0.25;
    for (int step = 0; step < agm_safety_limit && std::fabs(x - y) >= agm_tolerance * std::fabs(x);
         ++step) {
        const double root = std::sqrt(x * y);
        x = (x + y) * 0.5;
        y = root;
        weight = 2 * weight;
        sum = sum + weight * (x - y) * (x - y);
    }
    const double e = ((x0 + y0) * (x0 + y0) * 0.25 - sum) * (pi / (x + y));
    return ValueOrError::value_of(scale * e);
}

} // namespace caustiqa::special
