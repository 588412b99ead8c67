// The batch kernels of one instruction set each: lane_kernels.cpp compiled
// three times, with -march=x86-64 (SSE2), -march=x86-64-v3 (AVX2) and
// -march=x86-64-v4 (AVX-512), each into the namespace of its target. Only
// batch_kernels.cpp calls them, after checking that the CPU has the target's
// instructions. Results equal the scalar functions' bit for bit.
#pragma once

#include <cstddef>

// Each evaluates its points in blocks of lanes while more than half a block
// of them remains, and returns how many it evaluated (a prefix): a block costs
// the same however few of its lanes hold points, so the rest are left to a
// narrower target or to the scalar function.
#define CAUSTIQA_DECLARE_LANE_KERNELS(target)                                                      \
    namespace caustiqa::lensing::target {                                                          \
    /* out[i] = uniform_disc_magnification(u[i], rho[i]). */                                       \
    std::size_t disc_blocks(const double* u, const double* rho, double* out,                       \
                            std::size_t n) noexcept;                                               \
    /* out[i] = thin_ring_magnification(l[i], r[i], re, rstar), NaN for an error. */               \
    std::size_t ring_blocks(const double* l, const double* r, double re, double rstar,             \
                            double* out, std::size_t n) noexcept;                                  \
    }

CAUSTIQA_DECLARE_LANE_KERNELS(sse2)
CAUSTIQA_DECLARE_LANE_KERNELS(avx2)
CAUSTIQA_DECLARE_LANE_KERNELS(avx512)

#undef CAUSTIQA_DECLARE_LANE_KERNELS
