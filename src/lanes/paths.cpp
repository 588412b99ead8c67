#include "paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "lanes/targets.h"
#include "x86_levels.h"

namespace caustiqa::lanes {
namespace {

bool always() noexcept {
    return true;
}

struct Path {
    const char* name;
    bool (*runs)() noexcept;
};

#define CAUSTIQA_PATH(target, runs) {#target, &runs},
constexpr Path paths[] = {{"scalar", &always}, CAUSTIQA_LANE_TARGETS(CAUSTIQA_PATH)};
#undef CAUSTIQA_PATH

KernelPath widest_supported(KernelPath limit) noexcept {
    for (KernelPath path = limit; path > scalar_path; --path) {
        if (kernel_path_supported(path)) return path;
    }
    return scalar_path;
}

KernelPath choose_path() noexcept {
    const KernelPath widest = std::size(paths) - 1;
    const char* named = std::getenv("CAUSTIQA_KERNELS");
    if (named == nullptr) return widest_supported(widest);
    for (KernelPath path = 0; path <= widest; ++path) {
        if (std::strcmp(named, paths[path].name) == 0) return widest_supported(path);
    }
    // A typing error should not pass unnoticed: say once what is accepted and
    // what is used instead.
    const KernelPath used = widest_supported(widest);
    std::fprintf(stderr, "caustiqa: CAUSTIQA_KERNELS=\"%s\" names no kernel path (", named);
    for (KernelPath path = 0; path <= widest; ++path)
        std::fprintf(stderr, "%s%s", path == 0 ? "" : ", ", paths[path].name);
    std::fprintf(stderr, "); using %s, the widest this machine runs\n", paths[used].name);
    std::fflush(stderr);
    return used;
}

} // namespace

std::size_t kernel_path_count() noexcept {
    return std::size(paths);
}

const char* kernel_path_name(KernelPath path) noexcept {
    return path < std::size(paths) ? paths[path].name : "unknown";
}

bool kernel_path_supported(KernelPath path) noexcept {
    return path < std::size(paths) && paths[path].runs();
}

KernelPath active_kernel_path() noexcept {
    static const KernelPath path = choose_path();
    return path;
}

} // namespace caustiqa::lanes
