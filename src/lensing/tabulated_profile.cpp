#include "tabulated_profile.h"

#include "support/math_constants.h"
#include "tanh_sinh.h"

namespace caustiqa::lensing {

double profile_flux(const TabulatedProfile& profile) noexcept {
    const auto integrand = [&profile](double r) { return profile(r) * (two_pi * r); };
    return tanh_sinh_integrate(integrand, 0.0, 1.0, quadrature_target).integral;
}

} // namespace caustiqa::lensing
