// Batch forms of the uniform disc and the thin ring over blocks of independent
// points: element for element bit-identical to the scalar functions, and
// faster, since the points run side by side in SIMD lanes (lanes/paths.h).
#pragma once

#include <cstddef>

#include "lanes/paths.h"

namespace caustiqa::lensing {

using lanes::KernelPath;

// out[i] = uniform_disc_magnification(u[i], rho[i]) for i < n, on the active
// path or on a given supported one.
void uniform_disc_magnification_batch(const double* u, const double* rho, double* out,
                                      std::size_t n) noexcept;
void uniform_disc_magnification_batch(KernelPath path, const double* u, const double* rho,
                                      double* out, std::size_t n) noexcept;

// out[i] = thin_ring_magnification(l[i], r[i], re, rstar) for i < n, NaN where
// that is an error (callers that report the error's message use the scalar
// function), on the active path or on a given supported one.
void thin_ring_magnification_batch(const double* l, const double* r, double re, double rstar,
                                   double* out, std::size_t n) noexcept;
void thin_ring_magnification_batch(KernelPath path, const double* l, const double* r, double re,
                                   double rstar, double* out, std::size_t n) noexcept;

// A run of the disc over separations in source radii: out[i] =
// uniform_disc_magnification(l[i] * rho, rho) for i < n, the product formed per
// element as witt_mao_magnification does.
void disc_map_chunk(double rho, const double* l, std::size_t n, double* out) noexcept;

} // namespace caustiqa::lensing
