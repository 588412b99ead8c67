// The batch kernels of each lane target (lanes/targets.h): lane_kernels.cpp
// compiled once per target, with the target's flags, into the namespace of
// its name. Only batch_kernels.cpp calls them, on a processor that runs the
// target. Results equal the scalar functions' bit for bit.
//
// Each evaluates its points in blocks of lanes while more than half a block
// of them remains, and returns how many it evaluated (a prefix): a block costs
// the same however few of its lanes hold points, so the rest are left to a
// narrower target or to the scalar function.
#pragma once

#include <cstddef>

#include "lanes/targets.h"

#define CAUSTIQA_DECLARE_LANE_KERNELS(target, runs)                                                \
    namespace caustiqa::lensing::target {                                                          \
    /* out[i] = uniform_disc_magnification(u[i], rho[i]). */                                       \
    std::size_t disc_blocks(const double* u, const double* rho, double* out,                       \
                            std::size_t n) noexcept;                                               \
    /* out[i] = thin_ring_magnification(l[i], r[i], re, rstar), NaN for an error. */               \
    std::size_t ring_blocks(const double* l, const double* r, double re, double rstar,             \
                            double* out, std::size_t n) noexcept;                                  \
    }

CAUSTIQA_LANE_TARGETS(CAUSTIQA_DECLARE_LANE_KERNELS)

#undef CAUSTIQA_DECLARE_LANE_KERNELS
