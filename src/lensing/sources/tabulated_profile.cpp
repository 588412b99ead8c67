#include "tabulated_profile.h"

#include "quadrature/tanh_sinh.h"
#include "special/math_constants.h"

namespace caustiqa::lensing {

double profile_flux(const TabulatedProfile& profile) noexcept {
    const auto integrand = [&profile](double r) { return profile(r) * (two_pi * r); };
    return quadrature::tanh_sinh_integrate(integrand, 0.0, 1.0, quadrature::tolerance).integral;
}

} // namespace caustiqa::lensing
