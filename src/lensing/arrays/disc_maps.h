// Uniform-disc magnification over arrays of separations, on the worker pool.
#pragma once

#include <span>
#include <vector>

#include "parallel/block_progress.h"
#include "parallel/while_waiting.h"
#include "support/cancellation.h"

namespace caustiqa::lensing {

// Element i: uniform_disc_magnification(l[i] * rho, rho) with rho = rstar / re
// (l in source radii, re and rstar in one length unit), written into `out`
// (resized to l.size()) by the order-preserving parallel map on the worker
// pool. `progress` (of l.size() slots), if given, learns of every run of
// finished elements, and the calling thread may use them in `while_waiting`.
// Once `cancel` requests a stop, `out` is cut short and is to be discarded.
void witt_mao_magnification(std::span<const double> l, double re, double rstar,
                            std::vector<double>& out, Cancellation& cancel,
                            parallel::BlockProgress* progress = nullptr,
                            parallel::WhileWaiting while_waiting = {});

// The same, returning the results.
std::vector<double> witt_mao_magnification(std::span<const double> l, double re, double rstar,
                                           Cancellation& cancel = never_cancelled());

// witt_mao_magnification(l, re[i], rstar[j]) for every combination, re-major:
// entry i * rstar.size() + j of `out`. The combinations are mapped in
// parallel, each with a nested parallel map over l; every entry equals the
// single call bit for bit. `progress` (of one slot per combination) learns of
// every run of finished combinations. Cancelled as witt_mao_magnification is.
void multi_witt_mao_magnification(std::span<const double> l, std::span<const double> re,
                                  std::span<const double> rstar,
                                  std::vector<std::vector<double>>& out, Cancellation& cancel,
                                  parallel::BlockProgress* progress = nullptr,
                                  parallel::WhileWaiting while_waiting = {});

// The same, returning the results.
std::vector<std::vector<double>>
multi_witt_mao_magnification(std::span<const double> l, std::span<const double> re,
                             std::span<const double> rstar,
                             Cancellation& cancel = never_cancelled());

} // namespace caustiqa::lensing
