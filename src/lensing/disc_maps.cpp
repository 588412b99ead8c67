#include "disc_maps.h"

#include "parallel/parallel_map.h"
#include "uniform_disc.h"

namespace caustiqa::lensing {
namespace {

struct Radii {
    double re;
    double rstar;
};

} // namespace

std::vector<double> witt_mao_magnification(std::span<const double> l, double re, double rstar,
                                           Cancellation& cancel) {
    const double rho = source_rho(re, rstar);
    std::vector<double> result;
    parallel::parallel_map(
        l, [rho](double separation) { return uniform_disc_magnification(separation * rho, rho); },
        result, cancel);
    return result;
}

std::vector<std::vector<double>> multi_witt_mao_magnification(std::span<const double> l,
                                                              std::span<const double> re,
                                                              std::span<const double> rstar,
                                                              Cancellation& cancel) {
    std::vector<Radii> combinations;
    combinations.reserve(re.size() * rstar.size());
    for (const double einstein : re) {
        for (const double source : rstar)
            combinations.push_back({einstein, source});
    }
    std::vector<std::vector<double>> result;
    parallel::parallel_map(
        std::span<const Radii>(combinations),
        [l, &cancel](const Radii& radii) {
            return witt_mao_magnification(l, radii.re, radii.rstar, cancel);
        },
        result, cancel);
    return result;
}

} // namespace caustiqa::lensing
