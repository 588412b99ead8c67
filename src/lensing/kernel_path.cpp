#include "kernel_path.h"

#include <cstdlib>
#include <cstring>

#include "support/x86_levels.h"

namespace caustiqa::lensing {
namespace {

constexpr KernelPath widest_first[] = {KernelPath::avx512, KernelPath::avx2, KernelPath::sse2,
                                       KernelPath::scalar};

KernelPath choose_path() noexcept {
    KernelPath limit = KernelPath::avx512;
    if (const char* named = std::getenv("CAUSTIQA_KERNELS")) {
        for (const KernelPath path : widest_first) {
            if (std::strcmp(named, kernel_path_name(path)) == 0) limit = path;
        }
    }
    for (const KernelPath path : widest_first) {
        if (path <= limit && kernel_path_supported(path)) return path;
    }
    return KernelPath::scalar;
}

} // namespace

const char* kernel_path_name(KernelPath path) noexcept {
    switch (path) {
    case KernelPath::sse2:
        return "sse2";
    case KernelPath::avx2:
        return "avx2";
    case KernelPath::avx512:
        return "avx512";
    default:
        return "scalar";
    }
}

bool kernel_path_supported(KernelPath path) noexcept {
    if (path == KernelPath::scalar) return true;
#if CAUSTIQA_LANE_KERNELS
    switch (path) {
    case KernelPath::sse2:
        return true; // every x86-64
    case KernelPath::avx2:
        return x86::runs_x86_64_v3();
    case KernelPath::avx512:
        return x86::runs_x86_64_v4();
    default:
        return false;
    }
#else
    return false;
#endif
}

KernelPath active_kernel_path() noexcept {
    static const KernelPath path = choose_path();
    return path;
}

} // namespace caustiqa::lensing
