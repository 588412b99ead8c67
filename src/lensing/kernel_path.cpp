#include "kernel_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/x86_levels.h"

namespace caustiqa::lensing {
namespace {

constexpr KernelPath widest_first[] = {KernelPath::avx512, KernelPath::avx2, KernelPath::sse2,
                                       KernelPath::scalar};

KernelPath widest_supported(KernelPath limit) noexcept {
    for (const KernelPath path : widest_first) {
        if (path <= limit && kernel_path_supported(path)) return path;
    }
    return KernelPath::scalar;
}

KernelPath choose_path() noexcept {
    const char* named = std::getenv("CAUSTIQA_KERNELS");
    if (named == nullptr) return widest_supported(KernelPath::avx512);
    for (const KernelPath path : widest_first) {
        if (std::strcmp(named, kernel_path_name(path)) == 0) return widest_supported(path);
    }
    // A typing error should not pass unnoticed: say once what is accepted and
    // what is used instead.
    const KernelPath used = widest_supported(KernelPath::avx512);
    std::fprintf(stderr,
                 "caustiqa: CAUSTIQA_KERNELS=\"%s\" names no kernel path (scalar, sse2, avx2, "
                 "avx512); using %s, the widest this machine runs\n",
                 named, kernel_path_name(used));
    std::fflush(stderr);
    return used;
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
