#include "pending_error.h"

#include <string>

#include "process_objects.h"
#include "support/thread_exit.h"

namespace caustiqa::module {
namespace {

// Takes the current exception as one normalised object carrying its traceback.
PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void set_raised_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
#endif
}

} // namespace

std::string describe_current_exception() {
    Ref exception = Ref::steal(take_raised_exception());
    PyErr_Clear();
    if (!exception) return "unknown error";
    std::string text = Py_TYPE(exception.get())->tp_name;
    Ref str = Ref::steal(PyObject_Str(exception.get()));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (utf8 != nullptr) text = text + ": " + utf8;
    PyErr_Clear();
    return text;
}

PendingError PendingError::fetch() noexcept {
    PendingError error;
    error.exception_ = Ref::steal(take_raised_exception());
    return error;
}

PendingError PendingError::deferred(PyObject* type, std::string_view message) noexcept {
    return deferred(type, Ref::steal(PyUnicode_FromStringAndSize(
                              message.data(), static_cast<Py_ssize_t>(message.size()))));
}

PendingError PendingError::deferred(PyObject* type, Ref message) noexcept {
    if (!message) return fetch();
    PendingError error;
    error.type_ = type;
    error.argument_ = std::move(message);
    return error;
}

void PendingError::materialise() noexcept {
    if (exception_) return;
    Ref exception = Ref::steal(PyObject_CallOneArg(type_, argument_.get()));
    exception_ = exception ? std::move(exception) : Ref::steal(take_raised_exception());
    type_ = nullptr;
    argument_ = Ref();
}

void PendingError::add_parameter_note(const char* parameter) {
    materialise();
    if (!exception_) return;
    Ref note, done;
    try {
        PyObject* add_note = interned_name(InternedName::add_note);
        note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
        if (add_note != nullptr && note) {
            done = Ref::steal(PyObject_CallMethodOneArg(exception_.get(), add_note, note.get()));
        }
    } catch (const ThreadExit&) {
        // The thread is being ended without the interpreter lock.
        note.abandon();
        exception_.abandon();
        throw;
    }
    if (!done) PyErr_Clear();
}

void PendingError::raise() && noexcept {
    if (exception_) {
        set_raised_exception(exception_.release());
    } else if (type_ != nullptr) {
        PyErr_SetObject(type_, argument_.get());
    }
}

} // namespace caustiqa::module
