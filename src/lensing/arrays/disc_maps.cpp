#include "disc_maps.h"

#include "lensing/kernels/batch_kernels.h"
#include "lensing/kernels/uniform_disc.h"
#include "parallel/parallel_map.h"

namespace caustiqa::lensing {
namespace {

struct Radii {
    double re;
    double rstar;
};

} // namespace

void witt_mao_magnification(std::span<const double> l, double re, double rstar,
                            std::vector<double>& out, Cancellation& cancel,
                            parallel::BlockProgress* progress,
                            parallel::WhileWaiting while_waiting) {
    const double rho = source_rho(re, rstar);
    out.clear();
    // Runs of separations through the batch disc: the same bits as the
    // element-wise uniform_disc_magnification(l[i] * rho, rho).
    parallel::parallel_map_chunks(
        l,
        [rho](const double* in, std::size_t n, double* result) {
            disc_map_chunk(rho, in, n, result);
        },
        out, cancel, progress, while_waiting);
}

std::vector<double> witt_mao_magnification(std::span<const double> l, double re, double rstar,
                                           Cancellation& cancel) {
    std::vector<double> result;
    witt_mao_magnification(l, re, rstar, result, cancel);
    return result;
}

void multi_witt_mao_magnification(std::span<const double> l, std::span<const double> re,
                                  std::span<const double> rstar,
                                  std::vector<std::vector<double>>& out, Cancellation& cancel,
                                  parallel::BlockProgress* progress,
                                  parallel::WhileWaiting while_waiting) {
    std::vector<Radii> combinations;
    combinations.reserve(re.size() * rstar.size());
    for (const double einstein : re) {
        for (const double source : rstar)
            combinations.push_back({einstein, source});
    }
    out.clear();
    parallel::parallel_map(
        std::span<const Radii>(combinations),
        [l, &cancel](const Radii& radii) {
            return witt_mao_magnification(l, radii.re, radii.rstar, cancel);
        },
        out, cancel, progress, while_waiting);
}

std::vector<std::vector<double>> multi_witt_mao_magnification(std::span<const double> l,
                                                              std::span<const double> re,
                                                              std::span<const double> rstar,
                                                              Cancellation& cancel) {
    std::vector<std::vector<double>> result;
    multi_witt_mao_magnification(l, re, rstar, result, cancel);
    return result;
}

} // namespace caustiqa::lensing
