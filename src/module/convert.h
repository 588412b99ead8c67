// Conversion of Python arguments to C++ values. Each returns the value, or
// the PendingError to raise; the caller attaches the parameter's name. They
// may run Python code (__float__, __len__, __iter__, ...) and so are not
// noexcept: the interpreter may end the thread from inside that code.
#pragma once

#include <optional>
#include <vector>

#include "interruption.h"
#include "pending_error.h"

namespace caustiqa::module {

// A float directly; anything else through the interpreter's float conversion
// (int, bool, __float__, __index__). A genuine -1.0 is accepted.
std::optional<PendingError> convert_double(PyObject* object, double& out);

// Any sequence except str, by iteration, each item as by convert_double.
// len() serves only as a (bounded) capacity hint; a failure of len() is
// ignored unless it is not an Exception (KeyboardInterrupt, SystemExit, ...).
// A signal handler's exception (Ctrl-C) ends a long conversion. Throws
// FatalFailure only if collections.abc.Sequence cannot be imported for the
// error message.
std::optional<PendingError> convert_sequence(PyObject* object, std::vector<double>& out,
                                             Interruption& interruption);

} // namespace caustiqa::module
