#include "results.h"

#include <new>

#include "support/fatal_failure.h"

namespace caustiqa::module {
namespace {

// A list being released: the reference to it, and its items [0, filled),
// which it owns; the others are null.
struct Release {
    PyObject* list;
    Py_ssize_t filled;
};

// Floats released per pending call: about half a millisecond.
constexpr Py_ssize_t release_slice = Py_ssize_t{1} << 16;

// Releases about release_slice floats from the end of the filled items, and
// the list with the last of them; true when the list is gone.
bool release_some(Release& release) noexcept {
    for (Py_ssize_t budget = release_slice; release.filled > 0 && budget > 0;) {
        --release.filled;
        PyObject* item = PyList_GET_ITEM(release.list, release.filled);
        PyList_SET_ITEM(release.list, release.filled, nullptr);
        budget -= PyList_CheckExact(item) ? PyList_GET_SIZE(item) + 1 : 1;
        Py_DECREF(item); // a float or a list of floats: no code of the user's runs
    }
    if (release.filled > 0) return false;
    Py_DECREF(release.list);
    return true;
}

int release_pending(void* context) noexcept {
    auto* release = static_cast<Release*>(context);
    if (!release_some(*release)) {
        if (Py_AddPendingCall(&release_pending, release) == 0) return 0;
        while (!release_some(*release)) {
        }
    }
    delete release;
    return 0;
}

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

void ListInProgress::release_after_return() && noexcept {
    if (!list_) return;
    // Pending calls run on the main thread of the main interpreter, which is
    // also the only thread that signal handlers interrupt.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
    auto* release = new (std::nothrow) Release{list_.get(), static_cast<Py_ssize_t>(filled_)};
    if (release == nullptr) return;
    if (Py_AddPendingCall(&release_pending, release) != 0) {
        delete release;
        return;
    }
    list_.release(); // now the pending call's
}

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
