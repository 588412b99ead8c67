#include "flux_map.h"

#include <cmath>

#include "lensing/kernels/batch_kernels.h"
#include "lensing/kernels/uniform_disc.h"
#include "quadrature/tanh_sinh.h"
#include "ring_integral.h"
#include "special/math_constants.h"
#include "support/fatal_failure.h"
#include "tabulated_profile.h"

namespace caustiqa::lensing {
namespace {

constexpr double annulus_half_width = 0.0001;

// The annulus at fractional radius r: radii r -+ 0.0001 clamped to [0, 1]
// (fmax and fmin turn a NaN radius into the clamp value) and their squares.
struct Annulus {
    double r_lo, r_hi, a, b;
    static Annulus at(double r) noexcept {
        const double lo = std::fmax(r + (-annulus_half_width), 0.0);
        const double hi = std::fmin(r + annulus_half_width, 1.0);
        return {lo, hi, lo * lo, hi * hi};
    }
    bool empty() const noexcept { return a >= b; }
    bool has_inner_disc() const noexcept { return a != 0; }
    // From the discs at r_lo (unused when there is none) and r_hi.
    double magnification(double inner, double outer) const noexcept {
        const double lower = has_inner_disc() ? inner * a : 0.0;
        const double upper = outer * b;
        return (upper - lower) / (b - a);
    }
};

double annulus_integral(double l, double u, double rho, const TabulatedProfile& profile,
                        double flux) noexcept {
    const auto integrand = [&](const double* r, double* values, std::size_t count) {
        detail::annulus_integrand(r, count, u, rho, profile, values);
    };
    const quadrature::QuadratureResult annuli =
        quadrature::tanh_sinh_integrate_split_batch(integrand, l, quadrature::tolerance);
    if (annuli.finite_samples == 0) return not_a_number;
    return annuli.integral / flux;
}

} // namespace

void detail::annulus_integrand(const double* r, std::size_t count, double u, double rho,
                               const TabulatedProfile& profile, double* values) noexcept {
    double separations[2 * quadrature::tanh_sinh_batch_limit];
    double radii[2 * quadrature::tanh_sinh_batch_limit];
    double discs[2 * quadrature::tanh_sinh_batch_limit];
    Annulus annuli[quadrature::tanh_sinh_batch_limit];
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Annulus& annulus = annuli[i] = Annulus::at(r[i]);
        if (annulus.empty()) continue;
        if (annulus.has_inner_disc()) radii[n++] = annulus.r_lo * rho;
        radii[n++] = annulus.r_hi * rho;
    }
    if (n != 0) {
        for (std::size_t k = 0; k < n; ++k)
            separations[k] = u;
        uniform_disc_magnification_batch(separations, radii, discs, n);
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Annulus& annulus = annuli[i];
        double magnification = not_a_number;
        if (!annulus.empty()) {
            const double inner = annulus.has_inner_disc() ? discs[k++] : 0.0;
            magnification = annulus.magnification(inner, discs[k++]);
        }
        values[i] = profile(r[i]) * ((two_pi * r[i]) * magnification);
    }
}

double annulus_magnification(double u, double rho, double r) noexcept {
    const Annulus annulus = Annulus::at(r);
    if (annulus.empty()) return not_a_number;
    const double inner =
        annulus.has_inner_disc() ? uniform_disc_magnification(u, annulus.r_lo * rho) : 0.0;
    return annulus.magnification(inner, uniform_disc_magnification(u, annulus.r_hi * rho));
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
        if (cancel.tick(2 * quadrature::cost)) break; // two discs per point
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
