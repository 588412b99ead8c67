// Whether this processor, and the operating system on it, can run code that
// the compiler built with -march=x86-64-v3 or -march=x86-64-v4: every
// instruction-set extension that those levels let GCC and clang use, and the
// register state (YMM, and for v4 the opmask and ZMM registers) that the
// operating system saves on a context switch. Read with CPUID and XGETBV, so
// the answer does not depend on the compiler's own CPU-detection runtime.
#pragma once

namespace caustiqa::x86 {

// Every x86-64 processor: the baseline (SSE2) level. False off x86-64.
bool runs_x86_64() noexcept;

// AVX, AVX2, BMI1, BMI2, F16C, FMA, LZCNT, MOVBE, XSAVE and the x86-64-v2 set
// (CMPXCHG16B, LAHF/SAHF, POPCNT, SSE3, SSSE3, SSE4.1, SSE4.2), with YMM state
// enabled by the operating system. False off x86-64.
bool runs_x86_64_v3() noexcept;

// runs_x86_64_v3() and AVX512F, AVX512BW, AVX512CD, AVX512DQ and AVX512VL,
// with opmask and ZMM state enabled. False off x86-64.
bool runs_x86_64_v4() noexcept;

} // namespace caustiqa::x86
