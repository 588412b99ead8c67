// A source modelled as a finite set of thin rings with weights.
#pragma once

#include <span>
#include <vector>

#include "support/cancellation.h"

namespace caustiqa::lensing {

// One weighted ring sum per separation, or the first elliptic-integral error.
struct RingSums {
    std::vector<double> values;
    const char* error = nullptr; // static message; values is empty when set
};

// For each separation l[j]: sum over i, in order, of
// thin_ring_magnification(l[j], radii[i], re, rstar) * weights[i]. No
// normalisation. Unequal lengths of radii and weights are a fatal failure,
// checked before anything is computed; the first ring error ends the whole call.
// Once `cancel` requests a stop, the values are cut short and are to be discarded.
RingSums discrete_flux_map_heyrovsky_magnification(std::span<const double> l, double re,
                                                   double rstar, std::span<const double> radii,
                                                   std::span<const double> weights,
                                                   Cancellation& cancel = never_cancelled());

} // namespace caustiqa::lensing
