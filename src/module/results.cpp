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

Ref build_list(std::span<const double> values, Interruption* interruption) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (interruption != nullptr && interruption->tick_item(i)) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        checked(PyFloat_FromDouble(values[i])).release());
    }
    return list;
}

ListInProgress::ListInProgress(std::size_t length)
    : list_(checked(PyList_New(static_cast<Py_ssize_t>(length)))) {}

bool ListInProgress::fill(std::span<const double> values, std::size_t end,
                          Interruption* interruption) {
    for (; filled_ < end; ++filled_) {
        if (interruption != nullptr && interruption->tick_item(filled_)) return false;
        PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(filled_),
                        checked(PyFloat_FromDouble(values[filled_])).release());
    }
    return true;
}

bool ListInProgress::fill(std::span<const std::vector<double>> rows, std::size_t end,
                          Interruption* interruption) {
    for (; filled_ < end; ++filled_) {
        if (interruption != nullptr && interruption->tick_item(filled_)) return false;
        Ref row = build_list(rows[filled_], interruption);
        if (!row) return false;
        PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(filled_), row.release());
    }
    return true;
}

} // namespace caustiqa::module
