// The number of worker threads of the process-wide pool.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace caustiqa::parallel {

// The largest pool: larger requests are capped to it.
inline constexpr std::size_t max_thread_count = 65535;

// An unsigned decimal: an optional leading "+", then one or more digits and
// nothing else (no blanks, no sign "-"); nullopt when unparsable or when the
// value does not fit in std::size_t.
std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept;

// RAYON_NUM_THREADS if it parses to at least 1 (0 selects the default at
// once); otherwise RAYON_RS_NUM_CPUS if it parses to at least 1; otherwise
// the number of online processors (at least 1). Capped at max_thread_count.
std::size_t configured_thread_count() noexcept;

} // namespace caustiqa::parallel
