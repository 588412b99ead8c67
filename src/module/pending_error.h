// PendingError: an exception to be raised at the end of a call, either ready
// (an exception object) or deferred (a type and the argument to call it with).
#pragma once

#include <string>
#include <string_view>

#include "handle.h"

namespace caustiqa::module {

class PendingError {
public:
    // Takes the interpreter's current exception; one must be set.
    static PendingError fetch() noexcept;
    // An exception of the process-wide `type` made from the text `message`.
    static PendingError deferred(PyObject* type, std::string_view message) noexcept;
    // An exception of `type` made from the Python str `message`; a null
    // `message` (its creation failed) takes the interpreter's current exception.
    static PendingError deferred(PyObject* type, Ref message) noexcept;

    // Attaches the note "while processing '<parameter>'" through the
    // exception's add_note (which may be Python code); a failure to attach it
    // is discarded.
    void add_parameter_note(const char* parameter);
    // Sets the error as the interpreter's current exception.
    void raise() && noexcept;

private:
    PendingError() noexcept = default;
    void materialise() noexcept;

    Ref exception_;            // ready
    PyObject* type_ = nullptr; // deferred: a type that lives for the process
    Ref argument_;             // deferred: the str to call it with
};

// "TypeName: message" of the interpreter's current exception, which is
// cleared; for failure reports.
std::string describe_current_exception();

} // namespace caustiqa::module
