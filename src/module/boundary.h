// The per-call boundary between the interpreter and a computation: binding,
// conversion with the parameter's note, interruption by signals, and the one
// place where failures become Python exceptions. No C++ exception crosses into
// the interpreter; only the forced unwinding that ends a thread passes (see
// support/thread_exit.h), which is why nothing on this path is noexcept.
#pragma once

#include <array>
#include <exception>
#include <optional>
#include <variant>
#include <vector>

#include "binding.h"
#include "convert.h"
#include "interruption.h"
#include "support/thread_exit.h"

namespace caustiqa::module {

// What the body of one Python function yields: a result object or an error.
// Fatal failures arrive separately, as thrown FatalFailure.
using CallOutcome = std::variant<Ref, PendingError>;

// The bound arguments of one call, converted on request, and the call's
// Cancellation. A failed conversion returns its error with the note naming
// the parameter.
template <std::size_t N> class BoundArguments {
public:
    BoundArguments(const ArgumentSpec<N>& signature, const std::array<PyObject*, N>& objects,
                   Interruption& interruption) noexcept
        : spec_(signature), objects_(objects), interruption_(interruption) {}

    std::optional<PendingError> to_double(std::size_t i, double& out) const {
        return noted(i, convert_double(objects_[i], out));
    }
    std::optional<PendingError> to_sequence(std::size_t i, std::vector<double>& out) const {
        return noted(i, convert_sequence(objects_[i], out, interruption_));
    }
    // Handed to long computations; once it has requested a stop, the call
    // raises the signal handler's exception whatever the body returns.
    Cancellation& cancellation() const noexcept { return interruption_.cancellation(); }
    Interruption& interruption() const noexcept { return interruption_; }

private:
    std::optional<PendingError> noted(std::size_t i, std::optional<PendingError> error) const {
        if (error) error->add_parameter_note(spec_.parameters[i]);
        return error;
    }
    const ArgumentSpec<N>& spec_;
    const std::array<PyObject*, N>& objects_;
    Interruption& interruption_;
};

namespace detail {

// Sets the Python exception for the C++ exception being handled (call only
// inside a catch block): PanicException for a FatalFailure or any unknown
// exception, MemoryError for an allocation failure, RuntimeError for a call
// whose worker pool was lost to fork. If even that fails, the process ends
// ("uncaught panic at ffi boundary").
void raise_active_exception();

} // namespace detail

// Runs one call: binds the arguments, hands them to `body` (which converts and
// computes) and turns its outcome into a new reference or null with an exception.
template <std::size_t N, class Body>
PyObject* run_call(const ArgumentSpec<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Body&& body) {
    try {
        // Allocates this thread's C++ exception state while memory allows:
        // the C library aborts if the first exception of a thread cannot.
        // (The function is declared pure: a volatile store keeps the call.)
        [[maybe_unused]] volatile int exceptions = std::uncaught_exceptions();
        std::array<PyObject*, N> objects;
        if (std::optional<PendingError> error =
                bind_arguments(signature, args, nargs, kwnames, objects)) {
            std::move(*error).raise();
            return nullptr;
        }
        Interruption interruption;
        CallOutcome outcome = body(BoundArguments<N>(signature, objects, interruption));
        if (PendingError* error = std::get_if<PendingError>(&outcome)) {
            std::move(*error).raise();
            return nullptr;
        }
        if (std::optional<PendingError> interrupted = interruption.take()) {
            std::move(*interrupted).raise();
            return nullptr;
        }
        return std::get<Ref>(outcome).release();
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        detail::raise_active_exception();
    }
    return nullptr;
}

} // namespace caustiqa::module
