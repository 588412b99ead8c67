#include "tabulated_profile.h"

#include "tanh_sinh.h"

namespace caustiqa::lensing {

double profile_flux(const TabulatedProfile& profile) noexcept {
    constexpr double two_pi = 6.283185307179586;
    const auto integrand = [&profile](double r) { return profile(r) * (two_pi * r); };
    return tanh_sinh_integrate(integrand, 0.0, 1.0, 1e-16).integral;
}

} // namespace caustiqa::lensing
