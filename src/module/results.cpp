#include "results.h"

#include "support/fatal_failure.h"

namespace caustiqa::module {
namespace {

[[noreturn]] void null_object() {
    PyErr_WriteUnraisable(nullptr);
    fail("PyObject pointer is null");
}

Ref checked(PyObject* object) {
    if (object == nullptr) null_object();
    return Ref::steal(object);
}

} // namespace

Ref build_float(double value) {
    return checked(PyFloat_FromDouble(value));
}

Ref build_list(std::span<const double> values) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t index = 0;
    for (const double value : values) {
        PyList_SET_ITEM(list.get(), index++, checked(PyFloat_FromDouble(value)).release());
    }
    return list;
}

Ref build_list_of_lists(std::span<const std::vector<double>> rows) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    Py_ssize_t index = 0;
    for (const std::vector<double>& row : rows) {
        PyList_SET_ITEM(list.get(), index++, build_list(row).release());
    }
    return list;
}

} // namespace caustiqa::module
