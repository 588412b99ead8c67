#include "convert.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <string_view>

#include "process_objects.h"
#include "support/thread_exit.h"

namespace caustiqa::module {
namespace {

// len() may claim anything; reserve at most this many elements up front and
// let the array grow with what iteration actually yields.
constexpr Py_ssize_t reservation_limit = Py_ssize_t{1} << 16;

PendingError not_a_sequence(PyObject* object) {
    // Named as the standard type is, also while its name is patched to a non-type.
    PyTypeObject* sequence = sequence_type();
    Ref sequence_name = Ref::steal(sequence != nullptr ? PyType_GetQualName(sequence)
                                                       : PyUnicode_FromString("Sequence"));
    if (!sequence_name) return PendingError::fetch();
    if (object == Py_None) {
        return PendingError::deferred(
            PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("'None' is not an instance of '%U'",
                                                             sequence_name.get())));
    }
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return PendingError::fetch();
    return PendingError::deferred(
        PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("'%U' object is not an instance of '%U'",
                                                         type_name.get(), sequence_name.get())));
}

// A type of another module, known by identity: the attribute `attribute` of
// the module `module` once that module has been imported (it is never
// imported here). The main interpreter keeps the first type it finds, so that
// later calls compare a pointer instead of looking in sys.modules; other
// interpreters, whose modules may have types of their own, look each time.
class ImportedType {
public:
    constexpr ImportedType(InternedName module, InternedName attribute) noexcept
        : module_(module), attribute_(attribute) {}

    bool is(PyTypeObject* type) {
        // Relaxed: the kept pointer is only compared, never followed.
        const PyObject* kept = kept_.load(std::memory_order_relaxed);
        if (kept == reinterpret_cast<PyObject*>(type)) return true;
        const bool main = PyInterpreterState_Get() == PyInterpreterState_Main();
        if (kept != nullptr && main) return false;
        Ref found = find();
        if (!found) return false;
        const bool same = found.get() == reinterpret_cast<PyObject*>(type);
        // Only a type is kept (the attribute may have been replaced by
        // anything), and its reference with it, for the life of the process.
        PyObject* expected = nullptr;
        if (main && PyType_Check(found.get()) &&
            kept_.compare_exchange_strong(expected, found.get(), std::memory_order_relaxed)) {
            found.release();
        }
        return same;
    }

private:
    // The attribute (a new reference), or null, without an exception, when
    // the module is not imported or has no such attribute.
    Ref find() const {
        PyObject* module_name = interned_name(module_);
        PyObject* attribute_name = interned_name(attribute_);
        if (module_name == nullptr || attribute_name == nullptr) {
            PyErr_Clear();
            return Ref();
        }
        const Ref imported = Ref::steal(PyImport_GetModule(module_name));
        Ref found = imported ? Ref::steal(PyObject_GetAttr(imported.get(), attribute_name)) : Ref();
        if (!found) PyErr_Clear();
        return found;
    }

    InternedName module_;
    InternedName attribute_;
    std::atomic<PyObject*> kept_{nullptr};
};

ImportedType numpy_ndarray{InternedName::numpy, InternedName::ndarray};
ImportedType array_array{InternedName::array, InternedName::array};

// Types whose iteration yields, as floats, exactly the doubles of the buffer
// they export: memoryview, array.array and NumPy's ndarray, known by
// identity, and never their subclasses, which may iterate differently.
// NumPy's scalars are float subclasses holding the value.
bool iterates_its_buffer(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyMemoryView_Type) return true;
    if (!PyObject_CheckBuffer(object)) return false;
    return numpy_ndarray.is(type) || array_array.is(type);
}

// The buffer's items are native doubles: 'd', or '<d'/'=d' on a little-endian
// machine, where the standard and native layouts agree. A memoryview iterates
// only native formats ('d', '@d') and raises for the others, so for it only
// those count.
bool holds_native_doubles(PyObject* object, const Py_buffer& view) noexcept {
    if (view.itemsize != sizeof(double) || view.format == nullptr) return false;
    const std::string_view format(view.format);
    if (format == "d" || format == "@d") return true;
    return !(Py_TYPE(object) == &PyMemoryView_Type) && std::endian::native == std::endian::little &&
           (format == "<d" || format == "=d");
}

// For a one-dimensional, C-contiguous buffer of native doubles from one of
// the types above: copies it into `out` and returns true. Otherwise returns
// false with nothing set, and the caller iterates as for any sequence, so that
// every other case keeps its values and its errors.
bool copy_native_doubles(PyObject* object, std::vector<double>& out) {
    if (!iterates_its_buffer(object)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear(); // e.g. a strided array: iterated instead
        return false;
    }
    const bool usable = view.ndim == 1 && holds_native_doubles(object, view);
    if (usable) {
        const auto* first = static_cast<const double*>(view.buf);
        try {
            out.assign(first, first + view.len / static_cast<Py_ssize_t>(sizeof(double)));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
    }
    PyBuffer_Release(&view);
    return usable;
}

} // namespace

std::optional<PendingError> convert_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return std::nullopt;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return PendingError::fetch();
    out = value;
    return std::nullopt;
}

std::optional<PendingError> convert_sequence(PyObject* object, std::vector<double>& out,
                                             Interruption& interruption) {
    if (PyUnicode_Check(object)) {
        return PendingError::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(object)) return not_a_sequence(object);

#ifndef Py_GIL_DISABLED
    // Exact lists and tuples: read the items in place, exactly as their
    // iterators would, re-reading the length at every step (an item's
    // __float__ may change the list). Their length is truthful, so it sizes
    // the array. Under free threading another thread may resize a list at any
    // time, so there the iterator's own synchronisation is used.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        out.clear();
        out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
        Ref held;
        try {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
                if (interruption.tick_item(static_cast<std::size_t>(i))) return interruption.take();
                PyObject* item = PySequence_Fast_GET_ITEM(object, i);
                if (PyFloat_CheckExact(item)) {
                    out.push_back(PyFloat_AS_DOUBLE(item));
                    continue;
                }
                held = Ref::borrow(item); // the list may drop it meanwhile
                double value;
                if (auto error = convert_double(held.get(), value)) return error;
                out.push_back(value);
            }
        } catch (const ThreadExit&) {
            held.abandon();
            throw;
        }
        return std::nullopt;
    }
#endif

    if (copy_native_doubles(object, out)) return std::nullopt;

    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        // An ordinary failure of len() only loses the hint; an interruption
        // (KeyboardInterrupt, SystemExit, ...) is the user's and propagates.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return PendingError::fetch();
        PyErr_Clear();
        hint = 0;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(std::min(hint, reservation_limit)));

    Ref iterator, item;
    try {
        iterator = Ref::steal(PyObject_GetIter(object));
        if (!iterator) return PendingError::fetch();
        for (std::size_t i = 0;; ++i) {
            if (interruption.tick_item(i)) return interruption.take();
            item = Ref::steal(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return PendingError::fetch();
                return std::nullopt;
            }
            double value;
            if (auto error = convert_double(item.get(), value)) return error;
            out.push_back(value);
        }
    } catch (const ThreadExit&) {
        // The interpreter is ending this thread without its lock: the
        // references may not be touched any more.
        item.abandon();
        iterator.abandon();
        throw;
    }
}

} // namespace caustiqa::module
