// libFuzzer target for the numerical routines: the elliptic and Carlson
// integrals, the disc and ring magnifications, linear interpolation and the
// tanh-sinh quadrature. The input is read as little-endian doubles (missing
// bytes read as 0.0); see README.md for the layout. Besides the sanitizers and
// the fuzzer's time limit (a loop without end), it checks cheap invariants
// that hold for every argument, and aborts with a description when one fails.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "lensing/kernels/thin_ring.h"
#include "lensing/kernels/uniform_disc.h"
#include "lensing/sources/linear_interpolation.h"
#include "quadrature/tanh_sinh.h"
#include "special/carlson.h"
#include "special/complete.h"
#include "special/ellippi.h"

namespace {

using caustiqa::special::ValueOrError;

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    double next() {
        unsigned char bytes[8] = {};
        const std::size_t n = std::min<std::size_t>(8, size_);
        std::memcpy(bytes, data_, n);
        data_ += n;
        size_ -= n;
        double value;
        std::memcpy(&value, bytes, 8);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

[[noreturn]] void fail(const char* what, double a, double b = 0, double c = 0, double d = 0) {
    std::fprintf(stderr, "invariant failed: %s (%a, %a, %a, %a) = (%.17g, %.17g, %.17g, %.17g)\n",
                 what, a, b, c, d, a, b, c, d);
    std::abort();
}

void check(bool ok, const char* what, double a, double b = 0, double c = 0, double d = 0) {
    if (!ok) fail(what, a, b, c, d);
}

constexpr const char* ellipk_errors[] = {"ellipk: Arguments cannot be NAN.",
                                         "ellipk: m must not be greater than 1.",
                                         "ellipk: Unexpected error."};
constexpr const char* ellipe_errors[] = {"ellipe: Arguments cannot be NAN.",
                                         "ellipe: m must not be greater than 1."};
constexpr const char* ellippi_errors[] = {
    "ellippi: n cannot be 1.", "ellippi: m must not be greater than 1.",
    "ellippi: Arguments cannot be NAN.", "ellippi: Unexpected error."};

bool known(const char* text, std::span<const char* const> messages) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const char* m) { return std::strcmp(text, m) == 0; });
}

bool near(double x, double y, double relative) {
    return std::fabs(x - y) <= relative * std::max(std::fabs(x), std::fabs(y));
}

// Moderate positive arguments, where symmetry and scaling must hold closely.
bool moderate(double x) {
    return x >= 1e-100 && x <= 1e100;
}

void complete_integrals(double m) {
    using caustiqa::special::ellipe;
    using caustiqa::special::ellipk;
    const ValueOrError k = ellipk(m);
    const ValueOrError e = ellipe(m);
    if (k.is_error()) {
        check(known(k.error(), ellipk_errors), "ellipk: unknown message", m);
        check(std::isnan(m) || m > 1 || m < -4e17, "ellipk: error inside the domain", m);
    } else {
        check(!(m > 1) && !std::isnan(m), "ellipk: value outside the domain", m);
        check(k.value() >= 0 && !std::isnan(k.value()), "ellipk: not >= 0", m, k.value());
        if (m >= 0) check(k.value() >= 1.5707963267948966 * (1 - 1e-15), "ellipk: below pi/2", m);
    }
    if (e.is_error()) {
        check(known(e.error(), ellipe_errors), "ellipe: unknown message", m);
        check(std::isnan(m) || m > 1, "ellipe: error inside the domain", m);
    } else {
        check(!(m > 1) && !std::isnan(m), "ellipe: value outside the domain", m);
        check(e.value() >= 1 - 1e-15 && !std::isnan(e.value()), "ellipe: below 1", m, e.value());
        if (m >= 0) check(e.value() <= 1.5707963267948966 * (1 + 1e-15), "ellipe: above pi/2", m);
    }
    // Legendre's relation E K' + E' K - K K' = pi/2 on 0 < m < 1.
    if (m > 1e-300 && m < 1) {
        const double m1 = 1 - m;
        const ValueOrError k1 = ellipk(m1);
        const ValueOrError e1 = ellipe(m1);
        if (!k.is_error() && !e.is_error() && !k1.is_error() && !e1.is_error() &&
            std::isfinite(k.value()) && std::isfinite(k1.value())) {
            const double kk = k.value() * k1.value();
            const double legendre = e.value() * k1.value() + e1.value() * k.value() - kk;
            check(std::fabs(legendre - 1.5707963267948966) <= 1e-13 * (1 + kk), "Legendre relation",
                  m, legendre);
        }
    }
}

void third_kind(double n, double m) {
    const ValueOrError p = caustiqa::special::ellippi(n, m);
    const double low = 1 - 0x1p-52, high = 1 + 0x1p-52;
    if (p.is_error()) {
        const char* text = p.error();
        if (n == high) {
            check(known(text, ellipk_errors) || known(text, ellipe_errors),
                  "ellippi(1 + 2^-52, m): unknown message", n, m);
        } else {
            check(known(text, ellippi_errors), "ellippi: unknown message", n, m);
        }
        check(!(n > high), "ellippi: error on the principal-value branch", n, m);
        if (n == 1) check(std::strcmp(text, "ellippi: n cannot be 1.") == 0, "ellippi(1, m)", m);
    } else {
        check(n != 1, "ellippi(1, m) gave a value", m, p.value());
        const double v = p.value();
        if (n == 1 - 0x1p-53) check(v == INFINITY, "ellippi(1 - 2^-53, m) not +inf", m, v);
        // Below the pole a value is finite, or +inf for m at 1, or 0.0 in the far tails.
        if (n <= low) {
            check(!std::isnan(v) && v != -INFINITY, "ellippi: NaN or -inf value", n, m, v);
            check(!std::isnan(m) && !(m > 1), "ellippi: value outside the domain", n, m, v);
        }
    }
}

void carlson(double x, double y, double z, double p, double e) {
    using namespace caustiqa::special;
    const double rf = carlson_rf(x, y, z);
    const double rd = carlson_rd(x, y, z);
    const double rj = carlson_rj(x, y, z, p);
    const double rc = carlson_rc(x, y);
    const double rc1p = carlson_rc1p(e);
    // Signs, away from overflow and underflow (R_D(0, y, z) with z near the
    // underflow threshold forms z (y - z) = 0 and comes out -inf; a -0.0
    // argument can give -inf where +0.0 gives +inf).
    const auto sized = [](double v) { return (v == 0 && !std::signbit(v)) || moderate(v); };
    if (sized(x) && sized(y) && sized(z)) {
        check(!(rf < 0), "carlson_rf < 0", x, y, z, rf);
        check(!(rd < 0), "carlson_rd < 0", x, y, z, rd);
        // (R_J(x, x, x, p) = 3 (R_C(x, p) - 1/sqrt x) / (x - p) cancels for p near x.)
        if (moderate(p) && !(x == y && y == z)) check(!(rj < 0), "carlson_rj < 0", x, y, z, p);
    }
    if (sized(x) && moderate(y)) check(!(rc < 0), "carlson_rc < 0", x, y, rc);
    if (e > -1) check(!(rc1p < 0), "carlson_rc1p < 0", e, rc1p);
    // R_C(1, 1 + e) against the general R_C where 1 + e is exact enough.
    if (e > -0.5 && e < 1e10 && e != 0) {
        const double y1 = 1 + e;
        if (y1 - 1 == e) check(near(rc1p, carlson_rc(1, y1), 1e-12), "carlson_rc1p", e, rc1p);
    }
    if (moderate(x) && moderate(y) && moderate(z) &&
        std::max({x, y, z}) < 1e30 * std::min({x, y, z})) {
        // Symmetry and homogeneity, wherever both sides converged.
        const auto agree = [](double a, double b, double relative) {
            return !std::isfinite(a) || !std::isfinite(b) || near(a, b, relative);
        };
        check(agree(rf, carlson_rf(z, x, y), 1e-13), "carlson_rf symmetry", x, y, z, rf);
        check(agree(rf, 2 * carlson_rf(4 * x, 4 * y, 4 * z), 1e-13), "carlson_rf scaling", x, y, z,
              rf);
        check(agree(rd, carlson_rd(y, x, z), 1e-13), "carlson_rd symmetry", x, y, z, rd);
        if (moderate(p) && std::max(x, p) < 1e30 * std::min(x, p)) {
            check(agree(rj, carlson_rj(y, z, x, p), 1e-12), "carlson_rj symmetry", x, y, z, p);
            // R_J(x, y, z, z) = R_D(x, y, z).
            check(agree(carlson_rj(x, y, z, z), rd, 1e-12), "carlson_rj(x,y,z,z) != rd", x, y, z);
        }
    }
}

void lensing(double u, double rho, double l, double r, double re, double rstar) {
    using caustiqa::lensing::thin_ring_magnification;
    using caustiqa::lensing::uniform_disc_magnification;
    const double disc = uniform_disc_magnification(u, rho);
    if (u >= 0 && u <= 100 && rho >= 1e-3 && rho <= 10 && std::isfinite(disc))
        check(disc >= 1 - 1e-9, "uniform_disc_magnification below 1", u, rho, disc);

    const ValueOrError ring = thin_ring_magnification(l, r, re, rstar);
    // Within these magnitudes no product of up to four factors overflows or
    // underflows, and m stays below 1.
    const auto sized = [](double v) { return v >= 1e-60 && v <= 1e60; };
    const bool ordinary = (l == 0 || sized(l)) && sized(r) && sized(re / rstar);
    if (ring.is_error()) {
        const char* text = ring.error();
        check(known(text, ellipk_errors) || known(text, ellipe_errors) ||
                  known(text, ellippi_errors),
              "thin_ring_magnification: unknown message", l, r, re, rstar);
        const bool magnitudes = (l == 0 || sized(std::fabs(l))) && sized(std::fabs(r));
        check(!magnitudes || std::strcmp(text, "ellippi: n cannot be 1.") != 0,
              "thin ring met n = 1", l, r, re, rstar);
        check(!ordinary, "thin_ring_magnification: error for ordinary arguments", l, r, re, rstar);
    } else {
        const double v = ring.value();
        if (ordinary && l == r) check(v == INFINITY, "thin ring r = l not +inf", l, r, v);
        const double w = re / rstar;
        if (l >= 1e-3 && l <= 1e3 && r >= 1e-3 && r <= 1e3 && w >= 0.1 && w <= 100 &&
            std::isfinite(v))
            check(v >= 1 - 1e-6, "thin_ring_magnification below 1", l, r, w, v);
    }
}

void interpolation(Reader& in) {
    const double size_word = in.next();
    std::uint64_t bits;
    std::memcpy(&bits, &size_word, 8);
    const std::size_t nx = bits % 9, ny = (bits >> 8) % 9;
    std::vector<double> x(nx), y(ny);
    for (double& v : x)
        v = in.next();
    for (double& v : y)
        v = in.next();
    const double xp = in.next();
    const double outside = in.next();
    const caustiqa::special::LinearInterpolant interpolant(x, y);
    const double value = caustiqa::special::linear_interpolate(x, y, xp, outside);
    const double again = interpolant(xp, outside);
    check(std::memcmp(&value, &again, 8) == 0 || (std::isnan(value) && std::isnan(again)),
          "interpolant differs from linear_interpolate", xp, value, again);

    const std::size_t n = std::min(nx, ny);
    if (n == 0) check(value == 0.0 && !std::signbit(value), "empty table not 0.0", xp, value);
    if (n == 1) check(std::memcmp(&value, &y[0], 8) == 0, "single knot not y[0]", xp, value);
    if (n < 2) return;
    if (std::isnan(xp)) check(std::isnan(value), "NaN query not NaN", xp, value);
    // Ascending tables (sorted copy, no NaN): beyond the range the outside
    // value, at the ends the end values.
    std::vector<double> sorted = x;
    if (std::any_of(sorted.begin(), sorted.end(), [](double v) { return std::isnan(v); })) return;
    std::sort(sorted.begin(), sorted.end());
    const caustiqa::special::LinearInterpolant ascending(sorted, y);
    const double v = ascending(xp, outside);
    const double lo = sorted[0], hi = sorted[n - 1];
    const auto same = [](double a, double b) { return std::memcmp(&a, &b, 8) == 0; };
    if (xp == lo) {
        check(same(v, y[0]), "value at x[0] not y[0]", xp, v);
    } else if (xp < lo || (xp > hi && xp != hi)) {
        check(same(v, outside), "outside value expected", xp, lo, hi, v);
    } else if (xp == hi) {
        check(same(v, y[n - 1]), "value at x[n-1] not y[n-1]", xp, v);
    }
}

void quadrature(double a, double b, double tol, double c0, double c1, double s) {
    using caustiqa::quadrature::tanh_sinh_integrate;
    std::uint32_t calls = 0, finite = 0;
    bool outside = false;
    const double lo = std::min(a, b), hi = std::max(a, b);
    const auto f = [&](double r) {
        ++calls;
        if (!(r > lo && r < hi)) outside = true;
        const double value = c0 + c1 * r * r + 1 / (r - s);
        if (std::isfinite(value)) ++finite;
        return value;
    };
    const auto result = tanh_sinh_integrate(f, a, b, tol);
    const std::uint32_t n = result.evaluations;
    check(n == 25 || n == 49 || n == 97 || n == 193 || n == 385, "evaluation count", a, b, tol, n);
    check(n == calls, "evaluations differ from integrand calls", a, b, tol, calls);
    check(result.finite_samples == finite, "finite sample count", a, b, tol, finite);
    // With a <= 0 <= b the end points are far from every node in ulps.
    const double width = b - a;
    if (a <= 0 && b >= 0 && width >= 1e-290 && std::isfinite(width))
        check(!outside, "integrand evaluated at or beyond an end point", a, b);

    // A constant integrand is integrated to rounding error whatever the target.
    if (std::isfinite(width) && std::fabs(width) >= 1e-290) {
        const auto one = [](double) { return 1.0; };
        const auto unit = tanh_sinh_integrate(one, a, b, tol);
        check(near(unit.integral, 2 * (0.5 * width), 1e-12), "integral of 1", a, b, tol,
              unit.integral);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    double d[20];
    for (double& v : d)
        v = in.next();
    complete_integrals(d[0]);
    third_kind(d[1], d[2]);
    carlson(d[3], d[4], d[5], d[6], d[7]);
    lensing(d[8], d[9], d[10], d[11], d[12], d[13]);
    quadrature(d[14], d[15], d[16], d[17], d[18], d[19]);
    interpolation(in);
    return 0;
}
