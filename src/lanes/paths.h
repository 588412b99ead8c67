// Which implementation the batch kernels run: the scalar function in a loop
// (path 0), or the SIMD lanes of target k of this build's list (path k, one
// to lane_target_count, wider as k grows; lanes/targets.h). Every path gives
// the same results bit for bit; only the time differs.
#pragma once

#include <cstddef>

namespace caustiqa::lanes {

using KernelPath = std::size_t;

inline constexpr KernelPath scalar_path = 0;

// The number of lane targets of this build (0 without lane kernels); the
// paths are 0 to kernel_path_count() - 1.
std::size_t kernel_path_count() noexcept;

// "scalar", or the target's name ("sse2", "avx2", "avx512", ...).
const char* kernel_path_name(KernelPath path) noexcept;

// Whether this build has the path and this processor (and operating system)
// can run it.
bool kernel_path_supported(KernelPath path) noexcept;

// The path in use, chosen once per process: the one named by the environment
// variable CAUSTIQA_KERNELS if it is supported, else the widest supported
// path no wider than the named one (the widest of all when the variable is
// unset or names no path; a value that names no path is reported once on
// standard error, with the accepted values and the path used).
KernelPath active_kernel_path() noexcept;

} // namespace caustiqa::lanes
