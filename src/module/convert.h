// Conversion of Python arguments to C++ values. Each returns the value, or
// the PendingError to raise; the caller attaches the parameter's name.
#pragma once

#include <optional>
#include <vector>

#include "pending_error.h"

namespace caustiqa::module {

// A float directly; anything else through the interpreter's float conversion
// (int, bool, __float__, __index__). A genuine -1.0 is accepted.
std::optional<PendingError> convert_double(PyObject* object, double& out) noexcept;

// Any sequence except str, by iteration, each item as by convert_double.
// len() serves only as a (bounded) capacity hint. Throws FatalFailure only if
// collections.abc.Sequence cannot be imported for the error message.
std::optional<PendingError> convert_sequence(PyObject* object, std::vector<double>& out);

} // namespace caustiqa::module
