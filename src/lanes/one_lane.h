// The operations that the kernel templates use on a lane type V, here for V =
// double with mask type bool (one lane). lanes/simd.h gives the same
// operations for blocks of lanes in SIMD registers. A kernel written once as a
// template over V is then the scalar kernel and the batch kernel at once, with
// one order of floating-point operations for both.
//
// Kernel templates are compiled into several translation units with different
// instruction-set flags; everything they instantiate lives in a namespace named
// after the target (CAUSTIQA_TARGET), so that the linker can never merge an
// AVX-512 copy of an inline function into code meant to run on any x86-64.
#pragma once

#include <cmath>

#ifndef CAUSTIQA_TARGET
#define CAUSTIQA_TARGET baseline
#endif

// Kernel templates are inlined into their callers, so that the lanes of a
// block stay in registers from the first operation to the last.
#define CAUSTIQA_KERNEL [[gnu::always_inline]] inline

namespace caustiqa::lanes::CAUSTIQA_TARGET {

// The mask type of a lane type: the result of comparing two of its values.
template <class V> using MaskOf = decltype(V() < V());

// With one lane, the only lane is active wherever a kernel looks at it.
inline bool any(bool active) noexcept {
    return active;
}
inline bool none(bool active) noexcept {
    return !active;
}
inline double select(bool take, double if_true, double if_false) noexcept {
    return take ? if_true : if_false;
}

// f(x) in every active lane; f is a scalar function (a libm call), called once
// per active lane and never for an inactive one.
template <class F> double map_lanes(bool, double x, F f) noexcept {
    return f(x);
}

// table[i] for an index per lane.
inline double gather(const double* table, int i) noexcept {
    return table[i];
}
// The largest of degree[i] over the active lanes.
inline int largest(const int* degree, int i, bool) noexcept {
    return degree[i];
}

} // namespace caustiqa::lanes::CAUSTIQA_TARGET
