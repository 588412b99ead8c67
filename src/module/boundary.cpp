#include "boundary.h"

#include <cstdio>
#include <cstdlib>

#include "process_objects.h"

namespace caustiqa::module::detail {

void raise_fatal_failure(const std::string& message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        Ref text = Ref::steal(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (text) PyErr_SetObject(type, text.get());
        return;
    } catch (...) {
    }
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_memory_error() noexcept {
    PyErr_NoMemory();
}

} // namespace caustiqa::module::detail
