// Blocks of double lanes in SIMD registers, for the instruction set this
// translation unit is compiled for (AVX-512, AVX2 or SSE2, from the compiler's
// predefined macros), with the operations of lanes/one_lane.h. A block holds
// `registers` registers so that every dependent chain of a kernel (square
// roots, divisions) runs that many times side by side.
//
// Every operation is the IEEE operation of the scalar code, lane by lane:
// +, -, *, / and sqrt are correctly rounded in SIMD as in scalar code; the
// comparisons are the ordered ones of C++ (false for NaN) except != (true for
// NaN). No fused multiply-add is formed (the build passes -ffp-contract=off).
#pragma once

// GCC 12 warns about its own _mm512_undefined_pd (a self-initialised value);
// clang has no -Wmaybe-uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>
#include <utility>

#include "one_lane.h"

namespace caustiqa::lanes::CAUSTIQA_TARGET {

#if defined(__AVX512F__)
using Native = __m512d;
using NativeMask = __mmask8;
using NativeIndex = __m256i;
inline constexpr int native_width = 8;
#elif defined(__AVX2__)
using Native = __m256d;
using NativeMask = __m256d;
using NativeIndex = __m128i;
inline constexpr int native_width = 4;
#else
using Native = __m128d;
using NativeMask = __m128d;
using NativeIndex = __m128i;
inline constexpr int native_width = 2;
#endif

// Two registers per block measured best on every width (one leaves the
// divide/sqrt unit idle between dependent steps, three gained nothing).
inline constexpr int registers = 2;
inline constexpr int width = native_width * registers;
static_assert(width < 32, "lane masks are bits of an unsigned int");

namespace native {

// clang-format off

#if defined(__AVX512F__)
CAUSTIQA_KERNEL Native broadcast(double x) { return _mm512_set1_pd(x); }
CAUSTIQA_KERNEL Native load(const double* p) { return _mm512_loadu_pd(p); }
CAUSTIQA_KERNEL void store(double* p, Native v) { _mm512_storeu_pd(p, v); }
CAUSTIQA_KERNEL Native add(Native a, Native b) { return _mm512_add_pd(a, b); }
CAUSTIQA_KERNEL Native sub(Native a, Native b) { return _mm512_sub_pd(a, b); }
CAUSTIQA_KERNEL Native mul(Native a, Native b) { return _mm512_mul_pd(a, b); }
CAUSTIQA_KERNEL Native div(Native a, Native b) { return _mm512_div_pd(a, b); }
CAUSTIQA_KERNEL Native root(Native a) { return _mm512_sqrt_pd(a); }
CAUSTIQA_KERNEL Native larger(Native a, Native b) { return _mm512_max_pd(a, b); }
CAUSTIQA_KERNEL Native flip_sign(Native a) {
    return _mm512_castsi512_pd(
        _mm512_xor_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MIN)));
}
CAUSTIQA_KERNEL Native magnitude(Native a) {
    return _mm512_castsi512_pd(
        _mm512_and_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(INT64_MAX)));
}
template <int predicate> CAUSTIQA_KERNEL NativeMask compare(Native a, Native b) {
    return _mm512_cmp_pd_mask(a, b, predicate);
}
CAUSTIQA_KERNEL NativeMask both(NativeMask a, NativeMask b) { return a & b; }
CAUSTIQA_KERNEL NativeMask either(NativeMask a, NativeMask b) { return a | b; }
CAUSTIQA_KERNEL NativeMask invert(NativeMask a) { return static_cast<NativeMask>(~a); }
CAUSTIQA_KERNEL unsigned bits(NativeMask a) { return a; }
CAUSTIQA_KERNEL NativeMask mask_of_bits(unsigned b) { return static_cast<NativeMask>(b); }
CAUSTIQA_KERNEL Native choose(NativeMask m, Native t, Native f) {
    return _mm512_mask_blend_pd(m, f, t);
}
CAUSTIQA_KERNEL NativeIndex truncate(Native a) { return _mm512_cvttpd_epi32(a); }
CAUSTIQA_KERNEL Native gather(const double* table, NativeIndex i) {
    return _mm512_i32gather_pd(i, table, 8);
}
CAUSTIQA_KERNEL void store_index(int* p, NativeIndex i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), i);
}
#else
#if defined(__AVX2__)
CAUSTIQA_KERNEL Native broadcast(double x) { return _mm256_set1_pd(x); }
CAUSTIQA_KERNEL Native load(const double* p) { return _mm256_loadu_pd(p); }
CAUSTIQA_KERNEL void store(double* p, Native v) { _mm256_storeu_pd(p, v); }
CAUSTIQA_KERNEL Native add(Native a, Native b) { return _mm256_add_pd(a, b); }
CAUSTIQA_KERNEL Native sub(Native a, Native b) { return _mm256_sub_pd(a, b); }
CAUSTIQA_KERNEL Native mul(Native a, Native b) { return _mm256_mul_pd(a, b); }
CAUSTIQA_KERNEL Native div(Native a, Native b) { return _mm256_div_pd(a, b); }
CAUSTIQA_KERNEL Native root(Native a) { return _mm256_sqrt_pd(a); }
CAUSTIQA_KERNEL Native larger(Native a, Native b) { return _mm256_max_pd(a, b); }
CAUSTIQA_KERNEL Native bit_and(Native a, Native b) { return _mm256_and_pd(a, b); }
CAUSTIQA_KERNEL Native bit_or(Native a, Native b) { return _mm256_or_pd(a, b); }
CAUSTIQA_KERNEL Native bit_xor(Native a, Native b) { return _mm256_xor_pd(a, b); }
CAUSTIQA_KERNEL Native and_not(Native a, Native b) { return _mm256_andnot_pd(a, b); }
template <int predicate> CAUSTIQA_KERNEL NativeMask compare(Native a, Native b) {
    return _mm256_cmp_pd(a, b, predicate);
}
CAUSTIQA_KERNEL unsigned bits(NativeMask a) {
    return static_cast<unsigned>(_mm256_movemask_pd(a));
}
CAUSTIQA_KERNEL Native choose(NativeMask m, Native t, Native f) {
    return _mm256_blendv_pd(f, t, m);
}
CAUSTIQA_KERNEL NativeIndex truncate(Native a) { return _mm256_cvttpd_epi32(a); }
CAUSTIQA_KERNEL Native gather(const double* table, NativeIndex i) {
    return _mm256_i32gather_pd(table, i, 8);
}
CAUSTIQA_KERNEL void store_index(int* p, NativeIndex i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), i);
}
#else
CAUSTIQA_KERNEL Native broadcast(double x) { return _mm_set1_pd(x); }
CAUSTIQA_KERNEL Native load(const double* p) { return _mm_loadu_pd(p); }
CAUSTIQA_KERNEL void store(double* p, Native v) { _mm_storeu_pd(p, v); }
CAUSTIQA_KERNEL Native add(Native a, Native b) { return _mm_add_pd(a, b); }
CAUSTIQA_KERNEL Native sub(Native a, Native b) { return _mm_sub_pd(a, b); }
CAUSTIQA_KERNEL Native mul(Native a, Native b) { return _mm_mul_pd(a, b); }
CAUSTIQA_KERNEL Native div(Native a, Native b) { return _mm_div_pd(a, b); }
CAUSTIQA_KERNEL Native root(Native a) { return _mm_sqrt_pd(a); }
CAUSTIQA_KERNEL Native larger(Native a, Native b) { return _mm_max_pd(a, b); }
CAUSTIQA_KERNEL Native bit_and(Native a, Native b) { return _mm_and_pd(a, b); }
CAUSTIQA_KERNEL Native bit_or(Native a, Native b) { return _mm_or_pd(a, b); }
CAUSTIQA_KERNEL Native bit_xor(Native a, Native b) { return _mm_xor_pd(a, b); }
CAUSTIQA_KERNEL Native and_not(Native a, Native b) { return _mm_andnot_pd(a, b); }
// The SSE2 predicates, as the AVX ones are numbered.
template <int predicate> CAUSTIQA_KERNEL NativeMask compare(Native a, Native b) {
    if constexpr (predicate == _CMP_LT_OQ) return _mm_cmplt_pd(a, b);
    if constexpr (predicate == _CMP_LE_OQ) return _mm_cmple_pd(a, b);
    if constexpr (predicate == _CMP_GT_OQ) return _mm_cmpgt_pd(a, b);
    if constexpr (predicate == _CMP_GE_OQ) return _mm_cmpge_pd(a, b);
    if constexpr (predicate == _CMP_EQ_OQ) return _mm_cmpeq_pd(a, b);
    if constexpr (predicate == _CMP_NEQ_UQ) return _mm_cmpneq_pd(a, b);
}
CAUSTIQA_KERNEL unsigned bits(NativeMask a) { return static_cast<unsigned>(_mm_movemask_pd(a)); }
CAUSTIQA_KERNEL Native choose(NativeMask m, Native t, Native f) {
    return _mm_or_pd(_mm_and_pd(m, t), _mm_andnot_pd(m, f));
}
CAUSTIQA_KERNEL NativeIndex truncate(Native a) { return _mm_cvttpd_epi32(a); }
CAUSTIQA_KERNEL void store_index(int* p, NativeIndex i) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), i);
}
// No gather instruction: two loads.
CAUSTIQA_KERNEL Native gather(const double* table, NativeIndex i) {
    int at[2];
    store_index(at, i);
    return _mm_set_pd(table[at[1]], table[at[0]]);
}
#endif
CAUSTIQA_KERNEL Native flip_sign(Native a) { return bit_xor(a, broadcast(-0.0)); }
CAUSTIQA_KERNEL Native magnitude(Native a) { return and_not(broadcast(-0.0), a); }
CAUSTIQA_KERNEL NativeMask both(NativeMask a, NativeMask b) { return bit_and(a, b); }
CAUSTIQA_KERNEL NativeMask either(NativeMask a, NativeMask b) { return bit_or(a, b); }
CAUSTIQA_KERNEL NativeMask invert(NativeMask a) {
    return bit_xor(a, compare<_CMP_EQ_OQ>(broadcast(0.0), broadcast(0.0)));
}
#if defined(__AVX2__)
CAUSTIQA_KERNEL NativeMask mask_of_bits(unsigned b) {
    const auto lane = [b](int i) { return -static_cast<long long>(b >> i & 1); };
    return _mm256_castsi256_pd(_mm256_set_epi64x(lane(3), lane(2), lane(1), lane(0)));
}
#else
CAUSTIQA_KERNEL NativeMask mask_of_bits(unsigned b) {
    const auto lane = [b](int i) { return -static_cast<long long>(b >> i & 1); };
    return _mm_castsi128_pd(_mm_set_epi64x(lane(1), lane(0)));
}
#endif
#endif
// clang-format on

} // namespace native

// Applies f to register j = 0 .. registers - 1, fully unrolled.
template <class F, std::size_t... J>
CAUSTIQA_KERNEL auto each_register(F&& f, std::index_sequence<J...>) {
    using R = decltype(f(0));
    struct Result {
        R r[registers];
    };
    return Result{{f(static_cast<int>(J))...}};
}
template <class F> CAUSTIQA_KERNEL auto each_register(F&& f) {
    return each_register(f, std::make_index_sequence<registers>());
}

struct LaneMask {
    NativeMask r[registers];

    LaneMask() = default;
    // Every lane `all`.
    CAUSTIQA_KERNEL LaneMask(bool all) {
        const NativeMask v = native::mask_of_bits(all ? ~0u : 0u);
        for (int j = 0; j < registers; ++j)
            r[j] = v;
    }
};

struct LaneIndex {
    NativeIndex r[registers];
};

struct Lanes {
    Native r[registers];

    Lanes() = default;
    // Every lane x: constants of the kernels broadcast implicitly.
    CAUSTIQA_KERNEL Lanes(double x) {
        const Native v = native::broadcast(x);
        for (int j = 0; j < registers; ++j)
            r[j] = v;
    }
    CAUSTIQA_KERNEL static Lanes load(const double* p) {
        Lanes out;
        const auto v = each_register([p](int j) { return native::load(p + j * native_width); });
        for (int j = 0; j < registers; ++j)
            out.r[j] = v.r[j];
        return out;
    }
    CAUSTIQA_KERNEL void store(double* p) const {
        for (int j = 0; j < registers; ++j)
            native::store(p + j * native_width, r[j]);
    }
};

// Builds a lane type from per-register results.
template <class T, class F> CAUSTIQA_KERNEL T build(F&& f) {
    const auto v = each_register(f);
    T out;
    for (int j = 0; j < registers; ++j)
        out.r[j] = v.r[j];
    return out;
}

#define CAUSTIQA_LANE_OPERATOR(op, function)                                                       \
    CAUSTIQA_KERNEL Lanes operator op(Lanes a, Lanes b) {                                          \
        return build<Lanes>([&](int j) { return native::function(a.r[j], b.r[j]); });              \
    }
CAUSTIQA_LANE_OPERATOR(+, add)
CAUSTIQA_LANE_OPERATOR(-, sub)
CAUSTIQA_LANE_OPERATOR(*, mul)
CAUSTIQA_LANE_OPERATOR(/, div)
#undef CAUSTIQA_LANE_OPERATOR

CAUSTIQA_KERNEL Lanes operator-(Lanes a) {
    return build<Lanes>([&](int j) { return native::flip_sign(a.r[j]); });
}

#define CAUSTIQA_LANE_COMPARISON(op, predicate)                                                    \
    CAUSTIQA_KERNEL LaneMask operator op(Lanes a, Lanes b) {                                       \
        return build<LaneMask>([&](int j) { return native::compare<predicate>(a.r[j], b.r[j]); }); \
    }
CAUSTIQA_LANE_COMPARISON(<, _CMP_LT_OQ)
CAUSTIQA_LANE_COMPARISON(<=, _CMP_LE_OQ)
CAUSTIQA_LANE_COMPARISON(>, _CMP_GT_OQ)
CAUSTIQA_LANE_COMPARISON(>=, _CMP_GE_OQ)
CAUSTIQA_LANE_COMPARISON(==, _CMP_EQ_OQ)
CAUSTIQA_LANE_COMPARISON(!=, _CMP_NEQ_UQ)
#undef CAUSTIQA_LANE_COMPARISON

CAUSTIQA_KERNEL LaneMask operator&(LaneMask a, LaneMask b) {
    return build<LaneMask>([&](int j) { return native::both(a.r[j], b.r[j]); });
}
CAUSTIQA_KERNEL LaneMask operator|(LaneMask a, LaneMask b) {
    return build<LaneMask>([&](int j) { return native::either(a.r[j], b.r[j]); });
}
CAUSTIQA_KERNEL LaneMask operator!(LaneMask a) {
    return build<LaneMask>([&](int j) { return native::invert(a.r[j]); });
}

CAUSTIQA_KERNEL Lanes sqrt(Lanes a) {
    return build<Lanes>([&](int j) { return native::root(a.r[j]); });
}
CAUSTIQA_KERNEL Lanes fabs(Lanes a) {
    return build<Lanes>([&](int j) { return native::magnitude(a.r[j]); });
}
// The larger of a and b; b where either is NaN (kernels use it on numbers only).
CAUSTIQA_KERNEL Lanes fmax(Lanes a, Lanes b) {
    return build<Lanes>([&](int j) { return native::larger(a.r[j], b.r[j]); });
}
CAUSTIQA_KERNEL Lanes select(LaneMask take, Lanes if_true, Lanes if_false) {
    return build<Lanes>(
        [&](int j) { return native::choose(take.r[j], if_true.r[j], if_false.r[j]); });
}

// Bit i set for lane i.
CAUSTIQA_KERNEL unsigned lane_bits(LaneMask m) {
    unsigned b = 0;
    for (int j = 0; j < registers; ++j)
        b |= native::bits(m.r[j]) << (j * native_width);
    return b;
}
CAUSTIQA_KERNEL LaneMask mask_of_bits(unsigned b) {
    return build<LaneMask>([&](int j) { return native::mask_of_bits(b >> (j * native_width)); });
}
CAUSTIQA_KERNEL bool any(LaneMask m) {
    return lane_bits(m) != 0;
}
CAUSTIQA_KERNEL bool none(LaneMask m) {
    return lane_bits(m) == 0;
}

// Finite lanes: |x| <= the largest double (false for NaN and the infinities).
CAUSTIQA_KERNEL LaneMask is_finite(Lanes x) {
    return fabs(x) <= Lanes(1.7976931348623157e308);
}

// f(x) in the active lanes, one scalar call each; other lanes hold x.
template <class F> CAUSTIQA_KERNEL Lanes map_lanes(LaneMask active, Lanes x, F f) {
    unsigned b = lane_bits(active);
    if (b == 0) return x;
    alignas(64) double v[width];
    x.store(v);
    while (b != 0) {
        const int i = __builtin_ctz(b);
        v[i] = f(v[i]);
        b &= b - 1;
    }
    return Lanes::load(v);
}

// trunc(x) per lane, for 0 <= x < 2^31.
CAUSTIQA_KERNEL LaneIndex truncate(Lanes x) {
    return build<LaneIndex>([&](int j) { return native::truncate(x.r[j]); });
}
CAUSTIQA_KERNEL Lanes gather(const double* table, LaneIndex i) {
    return build<Lanes>([&](int j) { return native::gather(table, i.r[j]); });
}
// The largest of degree[i] over the active lanes.
CAUSTIQA_KERNEL int largest(const int* degree, LaneIndex i, LaneMask active) {
    alignas(64) int at[width];
    for (int j = 0; j < registers; ++j)
        native::store_index(at + j * native_width, i.r[j]);
    int top = 0;
    for (unsigned b = lane_bits(active); b != 0; b &= b - 1) {
        const int d = degree[at[__builtin_ctz(b)]];
        top = d > top ? d : top;
    }
    return top;
}

} // namespace caustiqa::lanes::CAUSTIQA_TARGET
