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

Ref build_list(std::span<const double> values, Interruption& interruption) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (interruption.tick_item(i)) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        checked(PyFloat_FromDouble(values[i])).release());
    }
    return list;
}

Ref build_list_of_lists(std::span<const std::vector<double>> rows, Interruption& interruption) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    Py_ssize_t index = 0;
    for (const std::vector<double>& row : rows) {
        if (interruption.tick_item(static_cast<std::size_t>(index))) return Ref();
        Ref built = build_list(row, interruption);
        if (!built) return Ref();
        PyList_SET_ITEM(list.get(), index++, built.release());
    }
    return list;
}

} // namespace caustiqa::module
