#include "limb_darkening.h"

#include <cmath>

#include "lensing/kernels/batch_kernels.h"
#include "lensing/kernels/uniform_disc.h"
#include "quadrature/tanh_sinh.h"
#include "ring_integral.h"
#include "special/math_constants.h"

namespace caustiqa::lensing {
namespace {

// The brightness-mu part: ∫_0^1 (1 - x^2) A(u, rho sqrt(1 - x^2)) dx, x playing mu.
double mu_weighted_part(double u, double rho) noexcept {
    const auto integrand = [u, rho](const double* x, double* values, std::size_t count) {
        detail::mu_weighted_integrand(u, rho, x, count, values);
    };
    return quadrature::tanh_sinh_integrate_batch(integrand, 0.0, 1.0, quadrature::tolerance)
        .integral;
}

} // namespace

double LimbDarkeningProfile::operator()(double r) const noexcept {
    const double s = std::sqrt(1 - r * r);
    return (1 - s) * (-0.6) + 1;
}

std::vector<double> integrated_witt_mao_magnification(std::span<const double> l, double re,
                                                      double rstar, Cancellation& cancel) {
    const double rho = source_rho(re, rstar);
    std::vector<double> result;
    result.reserve(l.size());
    for (const double separation : l) {
        if (cancel.tick(quadrature::cost)) break;
        const double u = separation * rho;
        const double j = mu_weighted_part(u, rho);
        const double a = uniform_disc_magnification(u, rho);
        result.push_back(((0.6 * j + 0.4 * a) * pi) / limb_darkened_flux);
    }
    return result;
}

std::vector<double> integrated_heyrovsky_magnification(std::span<const double> l, double re,
                                                       double rstar, Cancellation& cancel) {
    return integrated_ring_magnification(l, re, rstar, limb_darkening_profile, limb_darkened_flux,
                                         cancel);
}

} // namespace caustiqa::lensing
