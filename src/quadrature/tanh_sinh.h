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
#include <iterator>
#include <span>

#include "special/math_constants.h"
#include "tanh_sinh_nodes.h"

namespace caustiqa::quadrature {

// The absolute error asked of every radial integral of the library: below the
// resolution of doubles for integrals of order one, so each quadrature refines
// until its error estimate says the sum no longer changes.
inline constexpr double tolerance = 1e-16;

// A typical quadrature's cost in kernel evaluations, for Cancellation::tick:
// most integrals of the library stop after 193 or 385 points.
inline constexpr std::size_t cost = 400;

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

// No test comes before the end of level 2, so the first batch holds the
// midpoint and levels 0 to 2 (25 points); each later batch is one level.
inline constexpr std::size_t untested_levels = 3;

} // namespace detail

// The most points a batch integrand is asked for at once (level 6).
inline constexpr std::size_t tanh_sinh_batch_limit = 2 * std::size(detail::tanh_sinh_level_6);

// ∫_a^b f(r) dr to the absolute error `tol`, with f evaluated a batch of
// points at a time: f(const double* r, double* values, std::size_t count)
// writes values[i] = f(r[i]) for count <= tanh_sinh_batch_limit points. Since
// the sums are formed point by point in the order of the one-point form below,
// the result depends only on the values, not on how the batches were computed.
// A value that is not finite (NaN or ±inf) counts as 0 at that point.
template <class BatchFunction>
QuadratureResult tanh_sinh_integrate_batch(const BatchFunction& f, double a, double b,
                                           double tol) noexcept {
    const double c = 0.5 * (b - a);
    const double d = 0.5 * (a + b);
    const double target = (tol * 0.25) / c;

    std::uint32_t finite = 0;
    const auto g = [&finite](double value) {
        if (!std::isfinite(value)) return 0.0;
        ++finite;
        return value;
    };
    double points[tanh_sinh_batch_limit];
    double values[tanh_sinh_batch_limit];
    std::size_t count = 0;
    const auto add_level = [&](std::span<const detail::TanhSinhNode> level) {
        for (const detail::TanhSinhNode& node : level) {
            points[count++] = d + c * node.abscissa;
            points[count++] = d - c * node.abscissa;
        }
    };

    points[count++] = c * 0 + d;
    for (std::size_t j = 0; j < detail::untested_levels; ++j)
        add_level(detail::tanh_sinh_levels[j]);
    f(points, values, count);
    std::uint32_t evaluations = 1;
    double integral = pi * g(values[0]);
    std::size_t next = 1; // the value of the next point to sum
    double delta = DBL_MAX;
    double error = DBL_MAX;
    for (std::size_t j = 0; j < std::size(detail::tanh_sinh_levels); ++j) {
        const std::span<const detail::TanhSinhNode> level = detail::tanh_sinh_levels[j];
        if (j >= detail::untested_levels) {
            count = 0;
            add_level(level);
            f(points, values, count);
            next = 0;
        }
        double sum = 0.0;
        for (const detail::TanhSinhNode& node : level) {
            const double right = g(values[next++]);
            const double left = g(values[next++]);
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

// ∫_a^b f(r) dr to the absolute error `tol`, in 25 to 385 calls of f. A value
// of f that is not finite (NaN or ±inf) counts as 0 at that point. f is called
// on this thread, one point after another (the midpoint, then each level's
// pairs d + c x, d - c x in table order); it must not throw.
template <class Function>
QuadratureResult tanh_sinh_integrate(const Function& f, double a, double b, double tol) noexcept {
    const auto batch = [&f](const double* r, double* values, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            values[i] = f(r[i]);
    };
    return tanh_sinh_integrate_batch(batch, a, b, tol);
}

// The one-point form f(r) of a batch function `batch` as the batch quadrature
// takes it (batch(const double* r, double* values, std::size_t count)),
// evaluating it at one point per call; `batch` is kept by value.
template <class BatchFunction> auto one_point(BatchFunction batch) noexcept {
    return [batch](double r) {
        double value;
        batch(&r, &value, 1);
        return value;
    };
}

// ∫_0^1 f(r) dr as two integrals over [0, split] and [split, 1] when
// 0 < split < 1 (for an integrand singular or sharply peaked at r = split,
// which then lies at an end of both), else as one. Fields are the sums of both.
// `integrate(a, b)` is one of the quadratures above over [a, b].
template <class Integrate>
QuadratureResult integrate_split(const Integrate& integrate, double split) noexcept {
    if (!(0 < split && split < 1)) return integrate(0.0, 1.0);
    const QuadratureResult inner = integrate(0.0, split);
    const QuadratureResult outer = integrate(split, 1.0);
    return QuadratureResult{
        inner.integral + outer.integral, inner.error_estimate + outer.error_estimate,
        inner.evaluations + outer.evaluations, inner.finite_samples + outer.finite_samples};
}

// The split form of each quadrature: ∫_0^1 f(r) dr, split at `split`.
template <class Function>
QuadratureResult tanh_sinh_integrate_split(const Function& f, double split, double tol) noexcept {
    return integrate_split([&](double a, double b) { return tanh_sinh_integrate(f, a, b, tol); },
                           split);
}

template <class BatchFunction>
QuadratureResult tanh_sinh_integrate_split_batch(const BatchFunction& f, double split,
                                                 double tol) noexcept {
    return integrate_split(
        [&](double a, double b) { return tanh_sinh_integrate_batch(f, a, b, tol); }, split);
}

} // namespace caustiqa::quadrature
