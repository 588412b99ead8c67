// The batch disc and ring over blocks of lanes (lanes/simd.h), compiled
// once per instruction set (lane_kernels.h). A block runs the general branch
// of the scalar kernel (and the disc's far field) in every lane, from the same templates
// (disc_formula.h, ring_formula.h, special/elliptic_lanes.h); the lanes off
// that path (edge band, point source, ring series band, u = 0, non-finite
// arguments, rare paths of the elliptic integrals) take the scalar kernel's
// result instead.
//
// Outside its own namespace this file calls only functions compiled out of
// line in the baseline objects, never an inline one: the copy of an inline
// function compiled here would use this file's instructions, and the linker
// may keep it for the baseline code too. tests/cpp/isa_symbols.py checks the
// objects for such shared symbols.

#include "lane_kernels.h"

#include "lanes/simd.h"
// The lane type first: the templates below find its operations on instantiation.
#include "disc_far_field.h"
#include "disc_formula.h"
#include "ring_formula.h"
#include "special/elliptic_lanes.h"
#include "thin_ring.h"
#include "uniform_disc.h"

namespace caustiqa::lensing::CAUSTIQA_TARGET {
namespace {

using lanes::CAUSTIQA_TARGET::LaneMask;
using lanes::CAUSTIQA_TARGET::Lanes;

constexpr std::size_t width = lanes::CAUSTIQA_TARGET::width;
using special::CAUSTIQA_TARGET::complete_integrals;
using special::CAUSTIQA_TARGET::CompleteIntegrals;

// A block of count <= width points; the lanes past count hold a harmless
// point and are never stored.
struct Block {
    alignas(64) double a[width];
    alignas(64) double b[width];
    alignas(64) double out[width];
    LaneMask valid;

    Block(const double* x, const double* y, std::size_t count, double fill_a, double fill_b) {
        for (std::size_t i = 0; i < width; ++i) {
            a[i] = i < count ? x[i] : fill_a;
            b[i] = i < count ? y[i] : fill_b;
        }
        valid = mask_of_bits((1u << count) - 1);
    }
};

// Calls scalar(i) in the lanes of `lanes`.
template <class F> void take_scalar(LaneMask lanes, F scalar) {
    for (unsigned b = lane_bits(lanes); b != 0; b &= b - 1)
        scalar(__builtin_ctz(b));
}

void disc_block(const double* u, const double* rho, double* out, std::size_t count) noexcept {
    Block block(u, rho, count, 2.0, 1.0);
    const Lanes vu = Lanes::load(block.a);
    const Lanes vrho = Lanes::load(block.b);
    const LaneMask closed_form = block.valid & (vrho > 0) & !in_edge_band(vu, vrho);
    const LaneMask far = closed_form & in_disc_far_field(vu, vrho);
    const LaneMask general = closed_form & !far;
    Lanes value = 0.0;
    LaneMask ok = far;
    if (any(general)) {
        const DiscArguments<Lanes> g = disc_arguments(vu, vrho);
        const CompleteIntegrals<Lanes> c = complete_integrals<true>(g.n, g.m, general);
        value = disc_value(vu, vrho, g, c.e, c.k, c.pi);
        ok = ok | c.ok;
    }
    if (any(far)) value = select(far, disc_far_field(vu, vrho), value);
    value.store(block.out);
    take_scalar(block.valid & !ok,
                [&](int i) { block.out[i] = uniform_disc_magnification(block.a[i], block.b[i]); });
    for (std::size_t i = 0; i < count; ++i)
        out[i] = block.out[i];
}

void ring_block(const double* l, const double* r, double re, double rstar, double* out,
                std::size_t count) noexcept {
    Block block(l, r, count, 1.0, 0.5);
    const Lanes vl = Lanes::load(block.a);
    const Lanes vr = Lanes::load(block.b);
    const double w = einstein_radius_in_source_radii(re, rstar);
    const RingArguments<Lanes> g = ring_arguments(vl, vr, Lanes(w), Lanes(w * w));
    const LaneMask general = block.valid & !in_series_band(g.delta, vl + vr);
    const CompleteIntegrals<Lanes> c = complete_integrals<false>(g.n, g.m, general);
    ring_value(g, Lanes(w * w), c.k, c.pi).store(block.out);
    take_scalar(block.valid & !c.ok, [&](int i) {
        block.out[i] = thin_ring_magnification_or_nan(block.a[i], block.b[i], re, rstar);
    });
    for (std::size_t i = 0; i < count; ++i)
        out[i] = block.out[i];
}

} // namespace

std::size_t disc_blocks(const double* u, const double* rho, double* out, std::size_t n) noexcept {
    std::size_t i = 0;
    while (n - i > width / 2) {
        const std::size_t count = n - i < width ? n - i : width;
        disc_block(u + i, rho + i, out + i, count);
        i += count;
    }
    return i;
}

std::size_t ring_blocks(const double* l, const double* r, double re, double rstar, double* out,
                        std::size_t n) noexcept {
    std::size_t i = 0;
    while (n - i > width / 2) {
        const std::size_t count = n - i < width ? n - i : width;
        ring_block(l + i, r + i, re, rstar, out + i, count);
        i += count;
    }
    return i;
}

} // namespace caustiqa::lensing::CAUSTIQA_TARGET
