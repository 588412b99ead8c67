#include "linear_interpolation.h"

#include <algorithm>

namespace caustiqa::special {

LinearInterpolant::LinearInterpolant(std::span<const double> x, std::span<const double> y)
    : x_(x), y_(y), n_(std::min(x.size(), y.size())) {
    if (n_ < 2) return;
    slopes_.resize(n_ - 1);
    intercepts_.resize(n_ - 1);
    for (std::size_t k = 0; k + 1 < n_; ++k) {
        const double slope = (y[k + 1] - y[k]) / (x[k + 1] - x[k]);
        slopes_[k] = slope;
        intercepts_[k] = y[k] - slope * x[k];
    }
}

double LinearInterpolant::operator()(double xp, double outside) const noexcept {
    if (n_ == 0) return 0.0;
    if (n_ == 1) return y_[0];

    // p = the number of entries of x below xp (for ascending x); comparisons
    // with NaN are false. The fixed steps make p defined for unsorted x too.
    std::size_t size = x_.size();
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (x_[mid] < xp) base = mid;
        size = size - half;
    }
    const std::size_t p = x_[base] < xp ? base + 1 : base;
    const std::size_t i = std::min(p == 0 ? 0 : p - 1, n_ - 2);
    const double t = slopes_[i] * xp + intercepts_[i];

    if (xp == x_[0]) return y_[0];
    if (xp < x_[0]) return outside;
    if (xp == x_[n_ - 1]) return y_[n_ - 1];
    if (xp > x_[n_ - 1]) return outside;
    return t;
}

double linear_interpolate(std::span<const double> x, std::span<const double> y, double xp,
                          double outside) {
    return LinearInterpolant(x, y)(xp, outside);
}

} // namespace caustiqa::special
