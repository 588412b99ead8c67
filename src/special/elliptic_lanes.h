// K(m), E(m) and Pi(n, m) in a block of SIMD lanes, for the arguments that
// the disc and the ring form on their general branch: 0 < n <= 1 - 2^-52 and
// 0 <= m < 1, m != n. There ellipk, ellipe and ellippi take one path each,
// made of the kernels of complete_kernels.h and carlson_kernels.h:
//   K: the Taylor row of trunc(20 m) for m < 0.9, else the ten-update AGM
//      (the first ten updates of R_F's, below);
//   E: the Taylor row for m < 0.9, else the AGM with a sum of squares;
//   Pi = R_J(0, 1 - m, 1, 1 - n) n / 3 + R_F(0, 1 - m, 1), with R_F the
//   eleven-update AGM of 1 and sqrt(1 - m) and R_J the duplication, each step
//   adding atan(sqrt(E)) / sqrt(E) for its E > 0.
// A lane that leaves this path anywhere (other arguments, a step with E <= 0,
// no convergence, a Pi that is not finite) is marked not ok; its caller takes
// the scalar result there. Only for lanes.h lane types.
#pragma once

#include <cmath>

#include "branches.h"
#include "carlson_kernels.h"
#include "complete_kernels.h"
#include "constants.h"

namespace caustiqa::special::CAUSTIQA_TARGET {

template <class V> struct CompleteIntegrals {
    V e, k, pi;
    MaskOf<V> ok; // lanes whose three values are those of the scalar functions
};

// The integrals in the `active` lanes; E only when with_e.
template <bool with_e, class V>
CAUSTIQA_KERNEL CompleteIntegrals<V> complete_integrals(V n, V m, MaskOf<V> active) noexcept {
    using M = MaskOf<V>;
    // The lanes where each function takes the branch computed here: K and E
    // for 0 <= m < 1, ellippi's Carlson form, and R_F and R_J with neither
    // reduction (branches.h, the conditions the scalar functions branch on).
    M ok = active & (m >= 0) & (m < 1) & takes_carlson_form(n, m) &
           rf_arguments_distinct(V(0.0), 1 - m, V(1.0)) &
           rj_takes_duplication(V(0.0), 1 - m, V(1.0), 1 - n);
    // The other lanes compute on harmless arguments.
    m = select(ok, m, V(0.5));
    n = select(ok, n, V(0.75));
    const V y = 1 - m; // R_F(0, y, 1) and R_J(0, y, 1, 1 - n): y is neither 0 nor 1

    CompleteIntegrals<V> out{V(0.0), V(0.0), V(0.0), ok};
    const V s = 20 * m;
    const M polynomial = ok & uses_taylor_row(s);
    const M agm = ok & !polynomial;
    if (any(polynomial)) {
        // Indices above 17 (AGM lanes) read row 17 and are discarded.
        const auto i = truncate(select(s < 17, s, V(17.0)));
        out.k = evaluate_row(detail::k_rows, i, m, polynomial);
        if constexpr (with_e) out.e = evaluate_row(detail::e_rows, i, m, polynomial);
    }
    // R_F's AGM of sqrt(1) = 1 and sqrt(y) is K's with one more update allowed.
    static_assert(detail::rf_agm_updates == detail::k_agm_updates + 1);
    V agm_k;
    const V rf = agm_quarter_period(sqrt(V(1.0)), sqrt(y), detail::rf_agm_updates, ok, &agm_k);
    if (any(agm)) {
        out.k = select(agm, agm_k, out.k);
        if constexpr (with_e) out.e = select(agm, e_agm(m, agm), out.e);
    }

    const auto positive_term = [](M& lanes, V e, V, V, V, V, V, V) {
        lanes = lanes & (e > 0);
        const V root = sqrt(e);
        return map_lanes(lanes, root, [](double x) { return std::atan(x); }) / root;
    };
    const auto power = [](M lanes, V a) {
        return map_lanes(lanes, a, [](double x) { return std::pow(x, -1.5); });
    };
    const RjDuplication<V> rj = rj_duplication(V(0.0), y, V(1.0), 1 - n, ok, positive_term, power);
    out.pi = rj.value * n / 3 + rf;
    out.ok = ok & rj.converged & is_finite(out.pi);
    return out;
}

} // namespace caustiqa::special::CAUSTIQA_TARGET
