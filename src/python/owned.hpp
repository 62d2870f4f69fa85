#pragma once
// An owned (strong) reference to a Python object, released when it goes out of scope.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tiltwick::py {

class Owned {
public:
    Owned() = default;
    // Takes over a new reference (or null, after a failed call that set an exception).
    static Owned steal(PyObject* object) { return Owned(object); }
    // Takes a reference of its own to a borrowed object (or null).
    static Owned borrow(PyObject* object) { return Owned(Py_XNewRef(object)); }

    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) Py_XSETREF(object_, std::exchange(other.object_, nullptr));
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit Owned(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tiltwick::py
