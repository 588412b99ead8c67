// Ref: the single owner of one strong reference to a Python object.
#pragma once

#include <utility>

#include "python.h"

namespace caustiqa::module {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (null allowed, e.g. a failed call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (the interpreter, as a return value).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // Forgets the reference without releasing it: for a thread that the
    // interpreter ends at exit, which no longer holds the interpreter lock.
    void abandon() noexcept { object_ = nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

} // namespace caustiqa::module
