#include "fatal_failure.h"

#include <pthread.h>

#include <cstdio>

namespace caustiqa {
namespace {

thread_local bool thread_is_unnamed = false;

// The path below the source tree's "src/" directory, as the reader knows it.
const char* short_path(const char* path) noexcept {
    const char* best = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (p[0] == 's' && p[1] == 'r' && p[2] == 'c' && p[3] == '/') best = p;
    }
    return best;
}

void report(const std::string& message, const std::source_location& where) noexcept {
    char name[64] = "<unnamed>";
    if (!thread_is_unnamed && pthread_getname_np(pthread_self(), name, sizeof name) != 0) {
        std::snprintf(name, sizeof name, "<unnamed>");
    }
    std::fprintf(stderr, "caustiqa: thread '%s' failed at %s:%u:\n%s\n", name,
                 short_path(where.file_name()), static_cast<unsigned>(where.line()),
                 message.c_str());
    std::fflush(stderr);
}

} // namespace

void fail(std::string message, std::source_location where) {
    report(message, where);
    throw FatalFailure(std::move(message));
}

void assert_equal_lengths(std::size_t left, std::size_t right, std::source_location where) {
    if (left == right) return;
    fail("assertion `left == right` failed\n  left: " + std::to_string(left) +
             "\n right: " + std::to_string(right),
         where);
}

namespace detail {
void mark_thread_unnamed() noexcept {
    thread_is_unnamed = true;
}
} // namespace detail

} // namespace caustiqa
