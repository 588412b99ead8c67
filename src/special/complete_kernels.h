// The common paths of K(m) and E(m), written once over a lane type V (double
// for ellipk and ellipe, a block of SIMD lanes for the batch kernels; see
// lanes/one_lane.h): the Taylor polynomials and the AGM loops. Each loop
// runs until its last active lane has finished; a finished lane is frozen.
#pragma once

#include <cstddef>
#include <utility>

#include "complete_tables.h"
#include "constants.h"
#include "lanes/one_lane.h"

namespace caustiqa::special {
namespace detail {

// Ten AGM updates reach full double precision in K(m) for every 1 - m >= 2^-53.
inline constexpr int k_agm_updates = 10;
// R_F with one zero argument is K by an AGM of at most eleven updates.
inline constexpr int rf_agm_updates = 11;

// The polynomial rows by index i = trunc(20 x), 0..17 (rows 0.05 .. 0.75
// serve two indices each), with every row padded with zero coefficients up
// to the longest. Horner's rule gives the same bits from any padded start: the
// zeros keep p at +-0 until the row's own leading coefficient c, and
// +-0 * t + c = c exactly.
struct PolynomialRows {
    static constexpr int indices = 18;
    static constexpr int max_terms = 20;
    double centre[indices] = {};
    int top[indices] = {}; // degree of the row
    double coefficient[max_terms][indices] = {};
};

template <std::size_t N>
constexpr void put_row(PolynomialRows& rows, int first, int last, double centre,
                       const double (&c)[N]) {
    static_assert(N <= PolynomialRows::max_terms);
    for (int i = first; i <= last; ++i) {
        rows.centre[i] = centre;
        rows.top[i] = static_cast<int>(N) - 1;
        for (std::size_t j = 0; j < N; ++j)
            rows.coefficient[j][i] = c[j];
    }
}

constexpr PolynomialRows make_k_rows() {
    PolynomialRows rows;
    put_row(rows, 0, 1, 0.05, k_taylor_0_05);
    put_row(rows, 2, 3, 0.15, k_taylor_0_15);
    put_row(rows, 4, 5, 0.25, k_taylor_0_25);
    put_row(rows, 6, 7, 0.35, k_taylor_0_35);
    put_row(rows, 8, 9, 0.45, k_taylor_0_45);
    put_row(rows, 10, 11, 0.55, k_taylor_0_55);
    put_row(rows, 12, 13, 0.65, k_taylor_0_65);
    put_row(rows, 14, 15, 0.75, k_taylor_0_75);
    put_row(rows, 16, 16, 0.825, k_taylor_0_825);
    put_row(rows, 17, 17, 0.875, k_taylor_0_875);
    return rows;
}

constexpr PolynomialRows make_e_rows() {
    PolynomialRows rows;
    put_row(rows, 0, 1, 0.05, e_taylor_0_05);
    put_row(rows, 2, 3, 0.15, e_taylor_0_15);
    put_row(rows, 4, 5, 0.25, e_taylor_0_25);
    put_row(rows, 6, 7, 0.35, e_taylor_0_35);
    put_row(rows, 8, 9, 0.45, e_taylor_0_45);
    put_row(rows, 10, 11, 0.55, e_taylor_0_55);
    put_row(rows, 12, 13, 0.65, e_taylor_0_65);
    put_row(rows, 14, 15, 0.75, e_taylor_0_75);
    put_row(rows, 16, 16, 0.825, e_taylor_0_825);
    put_row(rows, 17, 17, 0.875, e_taylor_0_875);
    return rows;
}

inline constexpr PolynomialRows k_rows = make_k_rows();
inline constexpr PolynomialRows e_rows = make_e_rows();

} // namespace detail

namespace CAUSTIQA_TARGET {

using namespace lanes::CAUSTIQA_TARGET;
using std::fabs;
using std::sqrt;

// The polynomial of row i at x: t = x - x_c, then Horner's rule from the
// highest coefficient of the active lanes' rows down, a rounded product and a
// rounded sum per step.
template <class V, class I, class M>
CAUSTIQA_KERNEL V evaluate_row(const detail::PolynomialRows& rows, I i, V x, M active) noexcept {
    const V t = x - gather(rows.centre, i);
    const int top = largest(rows.top, i, active);
    V p = gather(rows.coefficient[top], i);
    for (int j = top; j-- > 0;)
        p = p * t + gather(rows.coefficient[j], i);
    return p;
}

// One lane: the same with the row chosen by a jump, so that the loads of its
// coefficients do not wait for the index (the loop above, unrolled).
template <const detail::PolynomialRows& Rows>
CAUSTIQA_KERNEL double evaluate_row(int i, double x) noexcept {
    double value = 0;
    [&]<int... R>(std::integer_sequence<int, R...>) {
        static_cast<void>(((i == R && (value = evaluate_row(Rows, R, x, true), true)) || ...));
    }(std::make_integer_sequence<int, detail::PolynomialRows::indices>());
    return value;
}

// pi / (a + b) after the arithmetic-geometric mean of a and b: at most
// `updates` updates (a, b) <- ((a + b) 0.5, sqrt(a b)), stopping before an
// update once |a - b| < tolerance |a|. K(m) and R_F(x, y, 0) both end here.
// With `one_fewer`, also the value after at most updates - 1 updates there (K
// and R_F(0, 1 - m, 1) start alike and differ only in their limits, 10 and 11).
template <class V, class M>
CAUSTIQA_KERNEL V agm_quarter_period(V a, V b, int updates, M active,
                                     V* one_fewer = nullptr) noexcept {
    int update = 0;
    for (; update < updates; ++update) {
        if (one_fewer != nullptr && update == updates - 1) *one_fewer = detail::pi / (a + b);
        active = active & !(fabs(a - b) < detail::agm_tolerance * fabs(a));
        if (none(active)) break;
        const V mean = (a + b) * 0.5;
        const V root = sqrt(a * b);
        a = select(active, mean, a);
        b = select(active, root, b);
    }
    const V value = detail::pi / (a + b);
    if (one_fewer != nullptr && update < updates - 1) *one_fewer = value; // all met earlier
    return value;
}

// E(c) for 0.9 <= c < 1 by the AGM of 1 and sqrt(1 - c) with a sum of
// squares: ((x0 + y0)^2 0.25 - S) pi / (x + y).
template <class V, class M> CAUSTIQA_KERNEL V e_agm(V c, M active) noexcept {
    const V x0 = 1.0;
    const V y0 = sqrt(1 - c);
    V x = x0;
    V y = y0;
    V sum = 0.0;
    V weight = 0.25;
    for (int step = 0; step < detail::agm_safety_limit; ++step) {
        active = active & (fabs(x - y) >= detail::agm_tolerance * fabs(x));
        if (none(active)) break;
        const V root = sqrt(x * y);
        x = select(active, (x + y) * 0.5, x);
        y = select(active, root, y);
        weight = 2 * weight; // read only by the sum, which is frozen
        sum = select(active, sum + weight * (x - y) * (x - y), sum);
    }
    return ((x0 + y0) * (x0 + y0) * 0.25 - sum) * (detail::pi / (x + y));
}

} // namespace CAUSTIQA_TARGET
} // namespace caustiqa::special
