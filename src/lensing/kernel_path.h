// Which implementation the batch kernels (batch_kernels.h) run: the scalar
// kernels in a loop, or SIMD lanes of one instruction set. Every path gives
// the same results bit for bit; only the time differs.
#pragma once

namespace caustiqa::lensing {

enum class KernelPath { scalar, sse2, avx2, avx512 };

// "scalar", "sse2", "avx2" or "avx512".
const char* kernel_path_name(KernelPath path) noexcept;

// Whether this build has the path and this CPU (and operating system) can run it.
bool kernel_path_supported(KernelPath path) noexcept;

// The path in use, chosen once per process: the one named by the environment
// variable CAUSTIQA_KERNELS if it is supported, else the widest supported
// path no wider than the named one (the widest of all when the variable is
// unset or names no path; a value that names no path is reported once on
// standard error, with the accepted values and the path used).
KernelPath active_kernel_path() noexcept;

} // namespace caustiqa::lensing
