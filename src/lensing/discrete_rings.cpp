#include "discrete_rings.h"

#include "support/fatal_failure.h"
#include "thin_ring.h"

namespace caustiqa::lensing {

RingSums discrete_flux_map_heyrovsky_magnification(std::span<const double> l, double re,
                                                   double rstar, std::span<const double> radii,
                                                   std::span<const double> weights,
                                                   Cancellation& cancel) {
    assert_equal_lengths(radii.size(), weights.size());
    RingSums sums;
    sums.values.reserve(l.size());
    for (const double separation : l) {
        if (cancel.tick(radii.size() + 1)) break;
        double sum = 0.0;
        for (std::size_t i = 0; i < radii.size(); ++i) {
            const special::ValueOrError ring =
                thin_ring_magnification(separation, radii[i], re, rstar);
            if (ring.is_error()) return RingSums{{}, ring.error()};
            sum = sum + ring.value() * weights[i];
        }
        sums.values.push_back(sum);
    }
    return sums;
}

} // namespace caustiqa::lensing
