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
    const char* name;            // "AHRSClient", used in error messages
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
// the borrow goes. A conflicting borrow raises RuntimeError("Already borrowed").
template <class Native>
class Borrow {
public:
    Borrow(PyObject* self, PyTypeObject* type, const char* class_name) {
        if (!PyObject_TypeCheck(self, type)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(self).c_str(),
                         class_name);
            return;
        }
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
    Native* operator->() const { return &instance_->native; }

private:
    Instance<Native>* instance_ = nullptr;
};

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
