// The per-call boundary between the interpreter and a computation: binding,
// conversion with the parameter's note, and the one place where failures
// become Python exceptions. No C++ exception crosses into the interpreter.
#pragma once

#include <array>
#include <new>
#include <optional>
#include <variant>
#include <vector>

#include "binding.h"
#include "convert.h"
#include "support/fatal_failure.h"

namespace caustiqa::module {

// What the body of one Python function yields: a result object or an error.
// Fatal failures arrive separately, as thrown FatalFailure.
using CallOutcome = std::variant<Ref, PendingError>;

// The bound arguments of one call, converted on request. A failed conversion
// returns its error with the note naming the parameter.
template <std::size_t N> class BoundArguments {
public:
    BoundArguments(const ArgumentSpec<N>& signature,
                   const std::array<PyObject*, N>& objects) noexcept
        : spec_(signature), objects_(objects) {}

    std::optional<PendingError> to_double(std::size_t i, double& out) const noexcept {
        return noted(i, convert_double(objects_[i], out));
    }
    std::optional<PendingError> to_sequence(std::size_t i, std::vector<double>& out) const {
        return noted(i, convert_sequence(objects_[i], out));
    }

private:
    std::optional<PendingError> noted(std::size_t i,
                                      std::optional<PendingError> error) const noexcept {
        if (error) error->add_parameter_note(spec_.parameters[i]);
        return error;
    }
    const ArgumentSpec<N>& spec_;
    const std::array<PyObject*, N>& objects_;
};

namespace detail {

// Raises tessel_runtime.PanicException with `message`; if even that fails,
// the process ends ("uncaught panic at ffi boundary").
void raise_fatal_failure(const std::string& message) noexcept;
// Raises MemoryError for a C++ allocation failure.
void raise_memory_error() noexcept;

} // namespace detail

// Runs one call: binds the arguments, hands them to `body` (which converts and
// computes) and turns its outcome into a new reference or null with an exception.
template <std::size_t N, class Body>
PyObject* run_call(const ArgumentSpec<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Body&& body) noexcept {
    try {
        std::array<PyObject*, N> objects;
        if (std::optional<PendingError> error =
                bind_arguments(signature, args, nargs, kwnames, objects)) {
            std::move(*error).raise();
            return nullptr;
        }
        CallOutcome outcome = body(BoundArguments<N>(signature, objects));
        if (Ref* result = std::get_if<Ref>(&outcome)) return result->release();
        std::move(std::get<PendingError>(outcome)).raise();
        return nullptr;
    } catch (const FatalFailure& failure) {
        detail::raise_fatal_failure(failure.message());
    } catch (const std::bad_alloc&) {
        detail::raise_memory_error();
    } catch (...) {
        detail::raise_fatal_failure("caustiqa: the native code failed");
    }
    return nullptr;
}

} // namespace caustiqa::module
