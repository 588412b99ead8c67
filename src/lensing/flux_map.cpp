#include "flux_map.h"

#include <cmath>

#include "support/fatal_failure.h"
#include "support/math_constants.h"
#include "ring_integral.h"
#include "tabulated_profile.h"
#include "tanh_sinh.h"
#include "uniform_disc.h"

namespace caustiqa::lensing {
namespace {

constexpr double annulus_half_width = 0.0001;

double annulus_integral(double l, double u, double rho, const TabulatedProfile& profile,
                        double flux) noexcept {
    const auto integrand = [&](double r) {
        return profile(r) * ((two_pi * r) * annulus_magnification(u, rho, r));
    };
    const QuadratureResult annuli = tanh_sinh_integrate_split(integrand, l, quadrature_target);
    if (annuli.finite_samples == 0) return NAN;
    return annuli.integral / flux;
}

} // namespace

double annulus_magnification(double u, double rho, double r) noexcept {
    // fmax and fmin turn a NaN radius into the clamp value.
    const double r_lo = std::fmax(r + (-annulus_half_width), 0.0);
    const double r_hi = std::fmin(r + annulus_half_width, 1.0);
    const double a = r_lo * r_lo;
    const double b = r_hi * r_hi;
    if (a >= b) return NAN;
    const double lower = a == 0 ? 0.0 : uniform_disc_magnification(u, r_lo * rho) * a;
    const double upper = uniform_disc_magnification(u, r_hi * rho) * b;
    return (upper - lower) / (b - a);
}

std::vector<double> integrated_flux_map_witt_mao_magnification(std::span<const double> l, double re,
                                                               double rstar,
                                                               std::span<const double> bl,
                                                               std::span<const double> bf,
                                                               Cancellation& cancel) {
    assert_equal_lengths(bl.size(), bf.size());
    const TabulatedProfile profile(bl, bf);
    const double flux = profile_flux(profile);
    const double rho = source_rho(re, rstar);
    std::vector<double> result;
    result.reserve(l.size());
    for (const double separation : l) {
        if (cancel.tick(2 * quadrature_cost)) break; // two discs per point
        result.push_back(annulus_integral(separation, separation * rho, rho, profile, flux));
    }
    return result;
}

std::vector<double> integrated_flux_map_heyrovsky_magnification(std::span<const double> l,
                                                                double re, double rstar,
                                                                std::span<const double> bl,
                                                                std::span<const double> bf,
                                                                Cancellation& cancel) {
    assert_equal_lengths(bl.size(), bf.size());
    const TabulatedProfile profile(bl, bf);
    return integrated_ring_magnification(l, re, rstar, profile, profile_flux(profile), cancel);
}

} // namespace caustiqa::lensing
