// Uniform-disc magnification over arrays of separations, on the worker pool.
#pragma once

#include <span>
#include <vector>

#include "support/cancellation.h"

namespace caustiqa::lensing {

// Element i: uniform_disc_magnification(l[i] * rho, rho) with rho = rstar / re
// (l in source radii, re and rstar in one length unit). Evaluated by the
// order-preserving parallel map on the worker pool. Once `cancel` requests a
// stop, the result is cut short and is to be discarded.
std::vector<double> witt_mao_magnification(std::span<const double> l, double re, double rstar,
                                           Cancellation& cancel = never_cancelled());

// witt_mao_magnification(l, re[i], rstar[j]) for every combination, re-major:
// entry i * rstar.size() + j. The combinations are mapped in parallel, each
// with a nested parallel map over l; every entry equals the single call bit for bit.
// Cancelled as witt_mao_magnification is.
std::vector<std::vector<double>> multi_witt_mao_magnification(
    std::span<const double> l, std::span<const double> re, std::span<const double> rstar,
    Cancellation& cancel = never_cancelled());

} // namespace caustiqa::lensing
