// Python objects created once per process, on first use, and never released:
// the fatal-failure exception type, the Sequence type (named in an error
// message) and a few interned attribute names. A thread that finds one missing
// waits for the creation guard without holding the interpreter lock. A child
// process made by fork() starts with every guard unlocked.
#pragma once

#include "python.h"

namespace caustiqa::module {

enum class InternedName { all, name, add_note, numpy, ndarray, array };

// The interned str "__all__", "__name__", "add_note", "numpy", "ndarray" or
// "array" (borrowed), or null with the interpreter's exception set if it could
// not be created. Like every getter here, it may wait for the interpreter
// lock, and so is not noexcept.
PyObject* interned_name(InternedName which);

// collections.abc.Sequence (borrowed), or null (without an exception) while
// that name holds something other than a type, which is then not kept.
// Throws FatalFailure if the import fails.
PyTypeObject* sequence_type();

// tessel_runtime.PanicException, a direct subclass of BaseException
// (borrowed). Throws FatalFailure if the type cannot be created.
PyObject* panic_exception_type();

} // namespace caustiqa::module
