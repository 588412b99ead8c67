#include "batch_kernels.h"

#include <iterator>

#include "lane_kernels.h"
#include "thin_ring.h"
#include "uniform_disc.h"

namespace caustiqa::lensing {

namespace {

// The kernels of each path: none for the scalar path 0, then those of each
// lane target, narrowest first (lanes/targets.h).
struct LaneKernels {
    std::size_t (*disc_blocks)(const double*, const double*, double*, std::size_t) noexcept;
    std::size_t (*ring_blocks)(const double*, const double*, double, double, double*,
                               std::size_t) noexcept;
};

#define CAUSTIQA_LANE_KERNELS(target, runs) {&target::disc_blocks, &target::ring_blocks},
constexpr LaneKernels lane_kernels[] = {{nullptr, nullptr},
                                        CAUSTIQA_LANE_TARGETS(CAUSTIQA_LANE_KERNELS)};
#undef CAUSTIQA_LANE_KERNELS

// The widest path of this build no wider than `path`.
KernelPath in_build(KernelPath path) noexcept {
    return path < std::size(lane_kernels) ? path : std::size(lane_kernels) - 1;
}

} // namespace

// The paths are tried from the given one down, each taking the points it
// evaluates in blocks (a prefix of those left), the scalar function the rest:
// a short run then costs blocks of narrower lanes rather than a wide block
// with most of its lanes empty. Every path gives the same bits.

void uniform_disc_magnification_batch(KernelPath path, const double* u, const double* rho,
                                      double* out, std::size_t n) noexcept {
    std::size_t done = 0;
    for (path = in_build(path); path > lanes::scalar_path; --path)
        done += lane_kernels[path].disc_blocks(u + done, rho + done, out + done, n - done);
    for (; done < n; ++done)
        out[done] = uniform_disc_magnification(u[done], rho[done]);
}

void uniform_disc_magnification_batch(const double* u, const double* rho, double* out,
                                      std::size_t n) noexcept {
    uniform_disc_magnification_batch(lanes::active_kernel_path(), u, rho, out, n);
}

void thin_ring_magnification_batch(KernelPath path, const double* l, const double* r, double re,
                                   double rstar, double* out, std::size_t n) noexcept {
    std::size_t done = 0;
    for (path = in_build(path); path > lanes::scalar_path; --path) {
        done += lane_kernels[path].ring_blocks(l + done, r + done, re, rstar, out + done, n - done);
    }
    for (; done < n; ++done)
        out[done] = thin_ring_magnification_or_nan(l[done], r[done], re, rstar);
}

void thin_ring_magnification_batch(const double* l, const double* r, double re, double rstar,
                                   double* out, std::size_t n) noexcept {
    thin_ring_magnification_batch(lanes::active_kernel_path(), l, r, re, rstar, out, n);
}

void disc_map_chunk(double rho, const double* l, std::size_t n, double* out) noexcept {
    // Blocks of a few lane widths, so that u and rho stay in the L1 cache.
    constexpr std::size_t block = 256;
    double u[block];
    double radius[block];
    for (std::size_t i = 0; i < block && i < n; ++i)
        radius[i] = rho;
    const KernelPath path = lanes::active_kernel_path();
    for (std::size_t first = 0; first < n; first += block) {
        const std::size_t count = n - first < block ? n - first : block;
        for (std::size_t i = 0; i < count; ++i)
            u[i] = l[first + i] * rho;
        uniform_disc_magnification_batch(path, u, radius, out + first, count);
    }
}

} // namespace caustiqa::lensing
