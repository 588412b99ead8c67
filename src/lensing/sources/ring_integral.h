// Magnification of a source with a radial brightness profile, integrated over
// thin rings: M(l) = (1/F) ∫_0^1 I(r) 2 pi r A(l, r) dr, with A the thin-ring
// magnification and F the profile's unmagnified flux ∫_0^1 2 pi r I(r) dr.
#pragma once

#include <cmath>
#include <span>
#include <vector>

#include "lensing/kernels/batch_kernels.h"
#include "lensing/kernels/thin_ring.h"
#include "quadrature/tanh_sinh.h"
#include "special/math_constants.h"
#include "support/cancellation.h"

namespace caustiqa::lensing {

// I(r) 2 pi r A(l, r) at ring radii r[i], i < count <= tanh_sinh_batch_limit,
// for one separation l, into values[i], the rings evaluated together; a ring
// error counts as NaN (and the quadrature then counts the point as 0).
template <class Profile>
void ring_integrand(const double* r, std::size_t count, double l, double re, double rstar,
                    const Profile& profile, double* values) noexcept {
    double separations[quadrature::tanh_sinh_batch_limit];
    for (std::size_t i = 0; i < count; ++i)
        separations[i] = l;
    thin_ring_magnification_batch(separations, r, re, rstar, values, count);
    for (std::size_t i = 0; i < count; ++i)
        values[i] = profile(r[i]) * ((two_pi * r[i]) * values[i]);
}

// M(l) for one separation and any profile, a callable double(double) with no
// side effects, sampled only inside (0, 1). For 0 < l < 1 the ring through the
// lens makes A logarithmically singular at r = l, so the integral is split
// there and each part's end-point singularity is left to the quadrature.
// NaN when not a single sample of the integrand was finite.
template <class Profile>
double integrated_ring_magnification(double l, double re, double rstar, const Profile& profile,
                                     double flux) noexcept {
    const auto integrand = [&](const double* r, double* values, std::size_t count) {
        ring_integrand(r, count, l, re, rstar, profile, values);
    };
    const quadrature::QuadratureResult ring =
        quadrature::tanh_sinh_integrate_split_batch(integrand, l, quadrature::tolerance);
    if (ring.finite_samples == 0) return not_a_number;
    return ring.integral / flux;
}

// M(l[j]) for every separation, in order, on the calling thread. Once `cancel`
// requests a stop, the result is cut short and is to be discarded.
template <class Profile>
std::vector<double> integrated_ring_magnification(std::span<const double> l, double re,
                                                  double rstar, const Profile& profile, double flux,
                                                  Cancellation& cancel = never_cancelled()) {
    std::vector<double> result;
    result.reserve(l.size());
    for (const double separation : l) {
        if (cancel.tick(quadrature::cost)) break;
        result.push_back(integrated_ring_magnification(separation, re, rstar, profile, flux));
    }
    return result;
}

} // namespace caustiqa::lensing
