#include "carlson.h"

#include <cmath>
#include <utility>

#include "branches.h"
#include "carlson_kernels.h"
#include "complete_kernels.h"
#include "constants.h"

namespace caustiqa::special {
namespace {

using namespace detail;
using namespace CAUSTIQA_TARGET;

// Duplication step limits: each step divides the arguments' spread about
// their mean by four, so these are enough for full precision from any finite
// start of ordinary range; a loop that reaches its limit (extreme ranges,
// infinities) gives NaN, which ellippi then classifies. R_J's limit, and R_F's
// AGM, are in carlson_kernels.h and complete_kernels.h.
constexpr int rf_duplication_limit = 11;
constexpr int rd_duplication_limit = 50;

// (3 eps)^(-1/8), (eps/4)^(-1/8): the factors by which the spread of the
// arguments must shrink below their mean before the series is used (R_J's is
// in carlson_kernels.h).
constexpr double rf_q_factor = 78.8959690786408;
constexpr double rd_q_factor = 107.63474115247546;
// R_D's stopping bound widened by a fifth, a safety margin over the bound of
// the series' truncation error: since each step divides the bound by four,
// it costs at most one more step.
constexpr double rd_stop_margin = 1.2;

// The ratio of max(y, p) to min(y, p) beyond which R_J(x, y, y, p) is taken
// in closed form from two R_C; nearer 1 the difference of the two cancels,
// and the duplication is used instead.
constexpr double rj_closed_form_ratio = 1.2;

constexpr double three_pi = 9.42477796076938; // R_D(x, y, y) at x = 0: 3 pi / (4 y^(3/2))

// Sorts three values ascending with compare-exchanges; a NaN stays in place.
void sort3(double& x, double& y, double& z) noexcept {
    if (y < x) std::swap(x, y);
    if (z < y) std::swap(y, z);
    if (y < x) std::swap(x, y);
}

} // namespace

double carlson_rc(double x, double y) noexcept {
    double prefix = 1.0;
    if (y < 0) {
        // Principal value: R_C(x, y) = sqrt(x / (x - y)) R_C(x - y, -y).
        prefix = std::sqrt(x / (x - y));
        x = x - y;
        y = -y;
    }
    if (x == 0) return prefix * half_pi / std::sqrt(y);
    if (x == y) return prefix / std::sqrt(x);
    if (y > x) return prefix * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);
    // y < x (or a NaN operand).
    if (y / x > 0.5) {
        const double a = std::sqrt((x - y) / x);
        return prefix * (std::log1p(a) - std::log1p(-a)) / (2 * std::sqrt(x - y));
    }
    return prefix * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) / std::sqrt(x - y);
}

double carlson_rc1p(double e) noexcept {
    if (e < -1) return std::sqrt(1 / (-e)) * carlson_rc(-e, -1 - e);
    if (e == 0) return 1.0;
    if (e > 0) return std::atan(std::sqrt(e)) / std::sqrt(e);
    if (e > -0.5 && e < 0) {
        const double a = std::sqrt(-e);
        return (std::log1p(a) - std::log1p(-a)) / (2 * std::sqrt(-e));
    }
    // -1 <= e <= -0.5, or NaN.
    return std::log((1 + std::sqrt(-e)) / std::sqrt(1 + e)) / std::sqrt(-e);
}

double carlson_rf(double x, double y, double z) noexcept {
    if (!rf_arguments_distinct(x, y, z)) {
        // Two or three equal arguments reduce to R_C.
        if (x == y) {
            if (x == z) return 1 / std::sqrt(x);
            if (z == 0) return pi / (2 * std::sqrt(x));
            return carlson_rc(z, x);
        }
        if (x == z) {
            if (y == 0) return pi / (2 * std::sqrt(x));
            return carlson_rc(y, x);
        }
        if (x == 0) return pi / (2 * std::sqrt(y)); // y == z
        return carlson_rc(x, y);
    }
    // Move a zero argument to z.
    if (x == 0) {
        std::swap(x, z);
    } else if (y == 0) {
        std::swap(y, z);
    }
    if (z == 0) {
        // R_F(x, y, 0) = pi / (2 AGM(sqrt x, sqrt y)).
        return agm_quarter_period(std::sqrt(x), std::sqrt(y), rf_agm_updates, true);
    }

    // All three arguments distinct and non-zero: duplication.
    const double x0 = x;
    const double y0 = y;
    const double a0 = (x + y + z) / 3;
    double q =
        rf_q_factor * std::fmax(std::fmax(std::fabs(a0 - x), std::fabs(a0 - y)), std::fabs(a0 - z));
    double a = a0;
    double scale = 1.0; // 4^k
    bool converged = false;
    for (int step = 0; step < rf_duplication_limit; ++step) {
        const double sx = std::sqrt(x);
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        const double lambda = sx * sy + sx * sz + sy * sz;
        a = (a + lambda) / 4;
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        q = q / 4;
        scale = 4 * scale;
        if (q < std::fabs(a)) {
            converged = true;
            break;
        }
    }
    if (!converged) return not_a_number;
    const double dx = (a0 - x0) / (a * scale);
    const double dy = (a0 - y0) / (a * scale);
    const double dz = -dx - dy;
    const double e2 = dx * dy - dz * dz;
    const double e3 = dx * dy * dz;
    return (1 + e3 * (1.0 / 14 + 3 * e3 / 104) +
            e2 * (-1.0 / 10 + e2 / 24 - 3 * e3 / 44 - 5 * e2 * e2 / 208 + e2 * e3 / 16)) /
           std::sqrt(a);
}

double carlson_rd(double x, double y, double z) noexcept {
    if (x == z) std::swap(x, y);
    if (y == z) {
        if (x == y) return 1 / (x * std::sqrt(x));
        if (x == 0) return three_pi / (4 * y * std::sqrt(y));
    }
    if (x == 0) {
        // R_D(0, 0, z) diverges; the AGM below would never meet there.
        if (y == 0) return INFINITY;
        // R_D(0, y, z) from the AGM of sqrt y and sqrt z with a sum of squares.
        const double a0 = std::sqrt(y);
        const double b0 = std::sqrt(z);
        double a = a0;
        double b = b0;
        double sum = 0.0;
        double weight = 0.25;
        for (int step = 0;
             step < agm_safety_limit && std::fabs(a - b) >= agm_tolerance * std::fabs(a); ++step) {
            const double root = std::sqrt(a * b);
            a = (a + b) * 0.5;
            b = root;
            weight = 2 * weight;
            sum = sum + weight * (a - b) * (a - b);
        }
        const double r = pi / (a + b);
        const double p = (a0 + 3 * b0) / (4 * z * (a0 + b0)) - sum / (z * (y - z));
        return 3 * p * r;
    }

    // Duplication.
    const double x0 = x;
    const double y0 = y;
    const double a0 = (x + y + 3 * z) / 5;
    double q = rd_q_factor * std::fmax(std::fmax(a0 - x, a0 - y), a0 - z) * rd_stop_margin;
    double a = a0;
    double f = 1.0; // 4^-k
    double sum = 0.0;
    bool converged = false;
    for (int step = 0; step < rd_duplication_limit; ++step) {
        const double sx = std::sqrt(x);
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        const double lambda = sx * sy + sx * sz + sy * sz;
        sum = sum + f / (sz * (z + lambda));
        a = (a + lambda) / 4;
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        f = f / 4;
        q = q / 4;
        if (a > q) {
            converged = true;
            break;
        }
    }
    if (!converged) return not_a_number;
    const double dx = f * (a0 - x0) / a;
    const double dy = f * (a0 - y0) / a;
    const double dz = -(dx + dy) / 3;
    const double e2 = dx * dy - 6 * dz * dz;
    const double e3 = (3 * dx * dy - 8 * dz * dz) * dz;
    const double e4 = 3 * (dx * dy - dz * dz) * dz * dz;
    const double e5 = dx * dy * dz * dz * dz;
    return f * std::pow(a, -1.5) * rd_rj_series(e2, e3, e4, e5) + 3 * sum;
}

namespace {

// R_C(1, 1 + e) in a step of R_J's duplication.
double rj_term(bool, double e, double rx, double ry, double rz, double rp, double p,
               double d) noexcept {
    if (-1.5 < e && e < -0.5) {
        // 1 + e formed without cancellation.
        const double b = 2 * rp * (p + rx * (ry + rz) + ry * rz) / d;
        return carlson_rc(1, b);
    }
    return carlson_rc1p(e);
}

double rj_power(bool, double a) noexcept {
    return std::pow(a, -1.5);
}

} // namespace

double carlson_rj(double x, double y, double z, double p) noexcept {
    if (p <= 0) {
        // Principal value (Carlson 1995): express R_J(x, y, z, p) through
        // R_J(x, y, z, p') with p' = ((x + y - p) z - x y) / (z - p) > 0 for x <= y <= z.
        sort3(x, y, z);
        const double q = -p;
        const double p1 = ((x + y - p) * z - x * y) / (z - p);
        // The map p -> p' is an involution; when it does not lead to a positive
        // p' (outside the integral's domain) a second application would only
        // undo the first, so the value is undefined here.
        if (!(p1 > 0)) return not_a_number;
        const double r = carlson_rj(x, y, z, p1);
        const double t = carlson_rf(x, y, z);
        return ((p1 - z) * r - 3 * t +
                3 * std::sqrt(x * y * z / (x * y + p1 * q)) * carlson_rc(x * y + p1 * q, p1 * q)) /
               (z - p);
    }
    if (!rj_takes_duplication(x, y, z, p)) {
        if (x == y) {
            if (x == z) {
                if (x == p) return 1 / (x * std::sqrt(x));
                // The closed form cancels as p approaches x (it gave -6 for
                // R_J(1 - e, 1 - e, 1 - e, 1 - 2e) = 1); there the duplication
                // below is used, with the same limit as for y == z.
                if (std::fmax(x, p) / std::fmin(x, p) > rj_closed_form_ratio) {
                    return 3 * (carlson_rc(x, p) - 1 / std::sqrt(x)) / (x - p);
                }
            } else {
                std::swap(x, z); // now y == z
            }
        }
        if (y == z) {
            if (y == p) return carlson_rd(x, y, y);
            if (std::fmax(y, p) / std::fmin(y, p) > rj_closed_form_ratio) {
                return 3 * (carlson_rc(x, y) - carlson_rc(x, p)) / (p - y);
            }
        }
        if (z == p) return carlson_rd(x, y, z);
    }

    // Duplication.
    const RjDuplication<double> r = rj_duplication(x, y, z, p, true, rj_term, rj_power);
    return r.converged ? r.value : not_a_number;
}

} // namespace caustiqa::special
