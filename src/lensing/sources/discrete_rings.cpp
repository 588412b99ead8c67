#include "discrete_rings.h"

#include <algorithm>
#include <cmath>

#include "lensing/kernels/batch_kernels.h"
#include "lensing/kernels/thin_ring.h"
#include "support/fatal_failure.h"

namespace caustiqa::lensing {
namespace {

// (separation, ring) pairs evaluated by one call of the batch ring.
constexpr std::size_t pairs_per_batch = 512;

} // namespace

RingSums discrete_flux_map_heyrovsky_magnification(std::span<const double> l, double re,
                                                   double rstar, std::span<const double> radii,
                                                   std::span<const double> weights,
                                                   Cancellation& cancel) {
    assert_equal_lengths(radii.size(), weights.size());
    RingSums sums;
    sums.values.reserve(l.size());
    const std::size_t rings = radii.size();
    // The rings of several separations at a time through the batch ring; the
    // sums are then formed separation by separation in ring order, as one at a
    // time would. The batch gives NaN for an error: such a ring is evaluated
    // again on its own, which tells an error (ending the call, the first in
    // that order) from a NaN value.
    const std::size_t per_batch =
        std::max<std::size_t>(1, pairs_per_batch / std::max<std::size_t>(1, rings));
    std::vector<double> pair_l, pair_r, values;
    for (std::size_t first = 0; first < l.size(); first += per_batch) {
        const std::size_t count = std::min(per_batch, l.size() - first);
        pair_l.clear();
        pair_r.clear();
        for (std::size_t j = first; j < first + count; ++j) {
            pair_l.insert(pair_l.end(), rings, l[j]);
            pair_r.insert(pair_r.end(), radii.begin(), radii.end());
        }
        values.resize(pair_l.size());
        thin_ring_magnification_batch(pair_l.data(), pair_r.data(), re, rstar, values.data(),
                                      values.size());
        for (std::size_t j = 0; j < count; ++j) {
            if (cancel.tick(rings + 1)) return sums;
            const double* ring = values.data() + j * rings;
            double sum = 0.0;
            for (std::size_t i = 0; i < rings; ++i) {
                double value = ring[i];
                if (std::isnan(value)) {
                    const special::ValueOrError alone =
                        thin_ring_magnification(l[first + j], radii[i], re, rstar);
                    if (alone.is_error()) return RingSums{{}, alone.error()};
                    value = alone.value();
                }
                sum = sum + value * weights[i];
            }
            sums.values.push_back(sum);
        }
    }
    return sums;
}

} // namespace caustiqa::lensing
