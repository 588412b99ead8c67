#include "process_objects.h"

#include <pthread.h>

#include <atomic>
#include <iterator>
#include <mutex>
#include <new>
#include <string>

#include "pending_error.h"
#include "support/fatal_failure.h"

namespace caustiqa::module {
namespace {

// One process-wide object and the guard around its creation.
class ProcessWide {
public:
    // The object, created by `create` (a new reference, or null with an
    // exception set) if it does not exist yet. Returns null, with that
    // exception set, when creation fails, and null without one when `accept`
    // refuses the object; either way a later call tries again.
    template <class Create, class Accept = bool (*)(PyObject*)>
    PyObject* get(
        Create create, Accept accept = [](PyObject*) { return true; }) {
        if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
        // Never wait on the guard while holding the interpreter lock: the
        // thread inside may need the lock to finish the creation.
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock lock(mutex_);
        PyEval_RestoreThread(state);
        PyObject* object = object_.load(std::memory_order_relaxed);
        if (object == nullptr) {
            object = create();
            if (object != nullptr && !accept(object)) {
                Py_DECREF(object);
                object = nullptr;
            }
            if (object != nullptr) object_.store(object, std::memory_order_release);
        }
        state = PyEval_SaveThread();
        lock.unlock();
        PyEval_RestoreThread(state);
        return object;
    }

    // In a child of fork(): the guard may have been held by a thread that the
    // child does not have; it is made anew, unlocked.
    void reset_guard_after_fork() noexcept { new (&mutex_) std::mutex; }

private:
    std::atomic<PyObject*> object_{nullptr};
    std::mutex mutex_;
};

ProcessWide interned[6]; // by InternedName
ProcessWide sequence;
ProcessWide panic_exception;

void reset_guards_after_fork() noexcept {
    for (ProcessWide& object : interned)
        object.reset_guard_after_fork();
    sequence.reset_guard_after_fork();
    panic_exception.reset_guard_after_fork();
}

[[maybe_unused]] const int fork_handler =
    pthread_atfork(nullptr, nullptr, &reset_guards_after_fork);

constexpr const char* panic_doc =
    "Raised when the native code of caustiqa fails fatally (a broken internal invariant\n"
    "or a failed assertion).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that an\n"
    "`except Exception` clause does not catch it and it usually propagates all the way\n"
    "up and ends the interpreter.";

PyObject* import_sequence() {
    const Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return nullptr;
    return PyObject_GetAttrString(abc.get(), "Sequence");
}

} // namespace

PyObject* interned_name(InternedName which) {
    static constexpr const char* texts[] = {"__all__", "__name__", "add_note",
                                            "numpy",   "ndarray",  "array"};
    static_assert(std::size(texts) == std::size(interned));
    const auto index = static_cast<std::size_t>(which);
    return interned[index].get([index] { return PyUnicode_InternFromString(texts[index]); });
}

PyTypeObject* sequence_type() {
    // The name may have been replaced by anything: only a type is used as one.
    PyObject* type =
        sequence.get(import_sequence, [](PyObject* o) { return PyType_Check(o) != 0; });
    if (type == nullptr && PyErr_Occurred()) {
        fail("failed to import collections.abc.Sequence: " + describe_current_exception());
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* panic_exception_type() {
    PyObject* type = panic_exception.get([] {
        return PyErr_NewExceptionWithDoc("tessel_runtime.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
    });
    if (type == nullptr) {
        fail("Failed to initialize new exception type.: " + describe_current_exception());
    }
    return type;
}

} // namespace caustiqa::module
