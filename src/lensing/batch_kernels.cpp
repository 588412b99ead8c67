#include "batch_kernels.h"

#include "lane_kernels.h"
#include "thin_ring.h"
#include "uniform_disc.h"

namespace caustiqa::lensing {

void uniform_disc_magnification_batch(KernelPath path, const double* u, const double* rho,
                                      double* out, std::size_t n) noexcept {
    switch (path) {
#if CAUSTIQA_LANE_KERNELS
    case KernelPath::sse2:
        return sse2::disc_batch(u, rho, out, n);
    case KernelPath::avx2:
        return avx2::disc_batch(u, rho, out, n);
    case KernelPath::avx512:
        return avx512::disc_batch(u, rho, out, n);
#endif
    default:
        for (std::size_t i = 0; i < n; ++i)
            out[i] = uniform_disc_magnification(u[i], rho[i]);
    }
}

void uniform_disc_magnification_batch(const double* u, const double* rho, double* out,
                                      std::size_t n) noexcept {
    uniform_disc_magnification_batch(active_kernel_path(), u, rho, out, n);
}

void thin_ring_magnification_batch(KernelPath path, const double* l, const double* r, double re,
                                   double rstar, double* out, std::size_t n) noexcept {
    switch (path) {
#if CAUSTIQA_LANE_KERNELS
    case KernelPath::sse2:
        return sse2::ring_batch(l, r, re, rstar, out, n);
    case KernelPath::avx2:
        return avx2::ring_batch(l, r, re, rstar, out, n);
    case KernelPath::avx512:
        return avx512::ring_batch(l, r, re, rstar, out, n);
#endif
    default:
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = thin_ring_magnification_or_nan(l[i], r[i], re, rstar);
        }
    }
}

void thin_ring_magnification_batch(const double* l, const double* r, double re, double rstar,
                                   double* out, std::size_t n) noexcept {
    thin_ring_magnification_batch(active_kernel_path(), l, r, re, rstar, out, n);
}

void disc_map_chunk(double rho, const double* l, std::size_t n, double* out) noexcept {
    // Blocks of a few lane widths, so that u and rho stay in the L1 cache.
    constexpr std::size_t block = 256;
    double u[block];
    double radius[block];
    for (std::size_t i = 0; i < block; ++i)
        radius[i] = rho;
    const KernelPath path = active_kernel_path();
    for (std::size_t first = 0; first < n; first += block) {
        const std::size_t count = n - first < block ? n - first : block;
        for (std::size_t i = 0; i < count; ++i)
            u[i] = l[first + i] * rho;
        uniform_disc_magnification_batch(path, u, radius, out + first, count);
    }
}

} // namespace caustiqa::lensing
