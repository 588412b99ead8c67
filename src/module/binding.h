// Binding of a fast-call argument vector to named parameters. Every parameter
// of the module's functions is required and may be given by position or by
// keyword; there are no defaults and no variadic parameters.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "pending_error.h"

namespace caustiqa::module {

// The signature of one Python function, which binding follows: the
// function's name and its parameter names, in order.
template <std::size_t N> struct ArgumentSpec {
    const char* function;
    std::array<const char*, N> parameters;
};

namespace detail {
std::optional<PendingError> bind_arguments(const char* function, const char* const* parameters,
                                           std::size_t count, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);
} // namespace detail

// Fills `bound` (borrowed references) from positional then keyword arguments,
// or returns the TypeError that CPython's own binding would give: too many
// positional arguments, an unexpected or repeated keyword, missing parameters.
// Not noexcept: printing a keyword name may run its __str__, and a message
// that cannot be allocated throws std::bad_alloc (a MemoryError at the boundary).
template <std::size_t N>
std::optional<PendingError> bind_arguments(const ArgumentSpec<N>& signature, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames,
                                           std::array<PyObject*, N>& bound) {
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i)
            bound[i] = args[i];
        return std::nullopt;
    }
    return detail::bind_arguments(signature.function, signature.parameters.data(), N, args, nargs,
                                  kwnames, bound.data());
}

} // namespace caustiqa::module
