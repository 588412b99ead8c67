// The fatal channel: a failure that is not an error value (a failed internal
// assertion, a broken invariant) unwinds as a FatalFailure to the boundary of
// the Python call that caused it, also across the worker pool.
#pragma once

#include <source_location>
#include <string>

namespace caustiqa {

class FatalFailure {
public:
    explicit FatalFailure(std::string message) noexcept : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Reports the failure on standard error (thread, source location, message)
// and throws it as a FatalFailure.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// fail(message) unless `holds`: for states that consistent arguments never
// reach. Checked in every build: the check costs nothing beside the work, and
// the alternative to a loud failure would be a silently wrong result.
inline void ensure(bool holds, const char* message,
                   std::source_location where = std::source_location::current()) {
    if (!holds) [[unlikely]]
        fail(message, where);
}

// fail() with the equality-assertion message "assertion `left == right` failed"
// and both sides in decimal, unless left == right.
void assert_equal_lengths(std::size_t left, std::size_t right,
                          std::source_location where = std::source_location::current());

} // namespace caustiqa

namespace caustiqa::detail {

// Worker threads carry no name; the failure report then says "<unnamed>"
// rather than the name the thread inherited from its creator.
void mark_thread_unnamed() noexcept;

} // namespace caustiqa::detail
