// Double-exponential (tanh-sinh) quadrature of a function over a finite
// interval (Takahashi & Mori 1974) on a fixed table of seven levels. Each
// level halves the step and reuses every earlier node; the routine stops when
// its error estimate falls below the target and never evaluates the integrand
// at the ends of the interval, so end-point singularities are harmless.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "support/math_constants.h"
#include "tanh_sinh_nodes.h"

namespace caustiqa::lensing {

// The absolute error asked of every radial integral of the library: below the
// resolution of doubles for integrals of order one, so each quadrature refines
// until its error estimate says the sum no longer changes.
inline constexpr double quadrature_target = 1e-16;

// A typical quadrature's cost in kernel evaluations, for Cancellation::tick:
// most integrals of the library stop after 193 or 385 points.
inline constexpr std::size_t quadrature_cost = 400;

struct QuadratureResult {
    double integral;
    double error_estimate;
    std::uint32_t evaluations;    // integrand calls
    std::uint32_t finite_samples; // calls that returned a finite value
};

namespace detail {

inline constexpr std::span<const TanhSinhNode> tanh_sinh_levels[] = {
    tanh_sinh_level_0, tanh_sinh_level_1, tanh_sinh_level_2, tanh_sinh_level_3,
    tanh_sinh_level_4, tanh_sinh_level_5, tanh_sinh_level_6,
};

} // namespace detail

// ∫_a^b f(r) dr to the absolute error `tol`, in 25 to 385 calls of f. A value
// of f that is not finite (NaN or ±inf) counts as 0 at that point. f is called
// on this thread, one point after another; it must not throw.
template <class Function>
QuadratureResult tanh_sinh_integrate(const Function& f, double a, double b, double tol) noexcept {
    const double c = 0.5 * (b - a);
    const double d = 0.5 * (a + b);
    const double target = (tol * 0.25) / c;

    std::uint32_t finite = 0;
    const auto g = [&](double r) {
        const double value = f(r);
        if (!std::isfinite(value)) return 0.0;
        ++finite;
        return value;
    };

    std::uint32_t evaluations = 1;
    double integral = pi * g(c * 0 + d);
    double delta = DBL_MAX;
    double error = DBL_MAX;
    for (const std::span<const detail::TanhSinhNode> level : detail::tanh_sinh_levels) {
        double sum = 0.0;
        for (const detail::TanhSinhNode& node : level) {
            const double right = g(d + c * node.abscissa);
            const double left = g(d - c * node.abscissa);
            sum = sum + node.weight * (right + left);
        }
        evaluations += static_cast<std::uint32_t>(2 * level.size());
        const double previous = delta;
        delta = std::fabs(0.5 * integral - sum);
        integral = 0.5 * integral + sum;
        if (evaluations < 14) continue; // no test after levels 0 and 1
        if (delta == 0) {
            error = 0;
            break;
        }
        // Quadratic convergence (the new difference about the square of the
        // last) means the next one would be delta^2.
        const double rate = std::log(delta) / std::log(previous);
        error = (1.9 < rate && rate < 2.1) ? delta * delta : delta;
        if (target > error) break;
    }
    return QuadratureResult{integral * c, error * c, evaluations, finite};
}

// ∫_0^1 f(r) dr as two integrals over [0, split] and [split, 1] when
// 0 < split < 1 (for an integrand singular or sharply peaked at r = split,
// which then lies at an end of both), else as one. Fields are the sums of both.
template <class Function>
QuadratureResult tanh_sinh_integrate_split(const Function& f, double split, double tol) noexcept {
    if (!(0 < split && split < 1)) return tanh_sinh_integrate(f, 0.0, 1.0, tol);
    const QuadratureResult inner = tanh_sinh_integrate(f, 0.0, split, tol);
    const QuadratureResult outer = tanh_sinh_integrate(f, split, 1.0, tol);
    return QuadratureResult{
        inner.integral + outer.integral, inner.error_estimate + outer.error_estimate,
        inner.evaluations + outer.evaluations, inner.finite_samples + outer.finite_samples};
}

} // namespace caustiqa::lensing
