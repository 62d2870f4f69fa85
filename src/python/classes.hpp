#pragma once
// The machinery behind the module's classes: heap types named builtins.<Class> that cannot
// be subclassed and have no __dict__ or weak references, whose instances hold one native
// object and an exclusive-use flag.

#include "python/owned.hpp"

#include <new>
#include <utility>

#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace tiltwick::py {

struct ClassDefinition {
    const char* qualified_name;  // "builtins.AHRSClient"
    const char* doc;             // "AHRSClient()\n--\n\n"
    int basicsize;
    newfunc constructor;
    destructor dealloc;
    PyMethodDef* methods;
};

// Creates the type object on first use and keeps it for the life of the process.
PyTypeObject* class_type(ClassDefinition& definition, PyTypeObject*& cache);

template <class Native>
struct Instance {
    PyObject_HEAD
    bool borrowed;
    Native native;
};

// The native object of `self` while a method runs, released (even by an exception) when
// the borrow goes. A conflicting borrow raises RuntimeError("Already borrowed"). (That self is
// an instance of the method's class is checked before: the interpreter's method descriptor
// refuses any other object.)
template <class Native>
class Borrow {
public:
    explicit Borrow(PyObject* self) {
        auto* instance = reinterpret_cast<Instance<Native>*>(self);
        if (instance->borrowed) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        instance->borrowed = true;
        instance_ = instance;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (instance_) instance_->borrowed = false;
    }

    explicit operator bool() const { return instance_ != nullptr; }
    Native& operator*() const { return instance_->native; }

private:
    Instance<Native>* instance_ = nullptr;
};

// A method body: takes exclusive use of self's native object, runs body(native) and turns a
// C++ exception into a Python one. Returns what body returns (null with an exception set on
// failure).
template <class Native, class Body>
PyObject* with_native(PyObject* self, Body&& body) {
    Borrow<Native> native(self);
    if (!native) return nullptr;
    return guarded([&]() -> PyObject* { return body(*native); });
}

// Wraps a new native object in a new instance of `type`; on failure the native object is
// destroyed and null returned with the exception set.
template <class Native>
PyObject* new_instance(PyTypeObject* type, Native&& native) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* instance = reinterpret_cast<Instance<Native>*>(self);
    instance->borrowed = false;
    new (&instance->native) Native(std::move(native));
    return self;
}

template <class Native>
void dealloc_instance(PyObject* self) {
    auto* instance = reinterpret_cast<Instance<Native>*>(self);
    instance->native.~Native();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace tiltwick::py
