#include "thread_count.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace caustiqa::parallel {
namespace {

std::optional<std::size_t> from_environment(const char* name) noexcept {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return parse_thread_count(value);
}

std::size_t online_processors() noexcept {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count >= 1 ? static_cast<std::size_t>(count) : 1;
}

} // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max();
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (limit - digit) / 10) return std::nullopt; // overflow
        value = value * 10 + digit;
    }
    return value;
}

std::size_t configured_thread_count() noexcept {
    std::size_t count = 0;
    const std::optional<std::size_t> primary = from_environment("RAYON_NUM_THREADS");
    if (primary && *primary == 0) {
        count = online_processors();
    } else if (primary) {
        count = *primary;
    } else if (const auto fallback = from_environment("RAYON_RS_NUM_CPUS");
               fallback && *fallback >= 1) {
        count = *fallback;
    } else {
        count = online_processors();
    }
    return std::min(count, max_thread_count);
}

} // namespace caustiqa::parallel
