#include "x86_levels.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace caustiqa::x86 {

#if defined(__x86_64__)
namespace {

// The registers of one CPUID leaf (and subleaf); all zero for a leaf the
// processor does not have.
struct Leaf {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Leaf cpuid(unsigned leaf, unsigned subleaf = 0) noexcept {
    Leaf r;
    if (__get_cpuid_max(leaf & 0x80000000u, nullptr) < leaf) return r;
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}

constexpr bool has_bits(unsigned reg, unsigned bits) noexcept {
    return (reg & bits) == bits;
}

constexpr unsigned bit(int i) noexcept {
    return 1u << i;
}

// Leaf 1, ECX.
constexpr unsigned v2_leaf1 = bit(0) /* SSE3 */ | bit(9) /* SSSE3 */ | bit(13) /* CMPXCHG16B */ |
                              bit(19) /* SSE4.1 */ | bit(20) /* SSE4.2 */ | bit(23) /* POPCNT */;
constexpr unsigned v3_leaf1 = bit(12) /* FMA */ | bit(22) /* MOVBE */ | bit(26) /* XSAVE */ |
                              bit(27) /* OSXSAVE: XGETBV usable */ | bit(28) /* AVX */ |
                              bit(29) /* F16C */;
// Leaf 7 subleaf 0, EBX.
constexpr unsigned v3_leaf7 = bit(3) /* BMI1 */ | bit(5) /* AVX2 */ | bit(8) /* BMI2 */;
constexpr unsigned v4_leaf7 = bit(16) /* AVX512F */ | bit(17) /* AVX512DQ */ |
                              bit(28) /* AVX512CD */ | bit(30) /* AVX512BW */ |
                              bit(31) /* AVX512VL */;
// Leaf 0x80000001, ECX.
constexpr unsigned v2_extended = bit(0); // LAHF/SAHF in 64-bit mode
constexpr unsigned v3_extended = bit(5); // LZCNT
// XCR0: the register state that the operating system saves.
constexpr unsigned ymm_state = bit(1) /* XMM */ | bit(2) /* upper YMM */;
constexpr unsigned zmm_state =
    bit(5) /* opmask */ | bit(6) /* upper ZMM0-15 */ | bit(7) /* ZMM16-31 */;

// XCR0's low half; call only when OSXSAVE is set.
unsigned enabled_state() noexcept {
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

// The levels this machine runs, worked out once.
struct Levels {
    bool v3 = false, v4 = false;
};

Levels detect() noexcept {
    const Leaf one = cpuid(1);
    const Leaf seven = cpuid(7, 0);
    const Leaf extended = cpuid(0x80000001u);
    Levels levels;
    levels.v3 = has_bits(one.ecx, v2_leaf1 | v3_leaf1) && has_bits(seven.ebx, v3_leaf7) &&
                has_bits(extended.ecx, v2_extended | v3_extended) &&
                has_bits(enabled_state(), ymm_state);
    levels.v4 = levels.v3 && has_bits(seven.ebx, v4_leaf7) &&
                has_bits(enabled_state(), ymm_state | zmm_state);
    return levels;
}

const Levels& levels() noexcept {
    static const Levels detected = detect();
    return detected;
}

} // namespace

bool runs_x86_64() noexcept {
    return true;
}

bool runs_x86_64_v3() noexcept {
    return levels().v3;
}

bool runs_x86_64_v4() noexcept {
    return levels().v4;
}
#else
bool runs_x86_64() noexcept {
    return false;
}

bool runs_x86_64_v3() noexcept {
    return false;
}

bool runs_x86_64_v4() noexcept {
    return false;
}
#endif

} // namespace caustiqa::x86
