// Piecewise-linear interpolation through a table of knots, with a fixed value
// outside the knot range.
#pragma once

#include <span>
#include <vector>

namespace caustiqa::special {

// The interpolant of the knots (x[k], y[k]), k < n = min(len x, len y), with
// the slope and intercept of every segment computed once. Knots are expected
// in ascending order but never checked; any lengths, order or values are safe.
class LinearInterpolant {
public:
    LinearInterpolant(std::span<const double> x, std::span<const double> y);

    // The value at xp: y[0] at x[0] and y[n-1] at x[n-1]; `outside` below x[0]
    // or above x[n-1]; in between m_i xp + c_i on the segment found by a binary
    // search over all of x; NaN xp gives NaN. n = 0 gives 0.0 and n = 1 gives
    // y[0] for every xp.
    double operator()(double xp, double outside) const noexcept;

private:
    std::span<const double> x_;
    std::span<const double> y_;
    std::size_t n_;
    std::vector<double> slopes_;
    std::vector<double> intercepts_;
};

// One query: LinearInterpolant(x, y)(xp, outside).
double linear_interpolate(std::span<const double> x, std::span<const double> y, double xp,
                          double outside);

} // namespace caustiqa::special
