#include "python/errors.hpp"

#include <new>
#include <string>

#include "link/diagnostics.hpp"

namespace tiltwick::py {

PyObject* raise_value_error(const AHRSError& error) {
    const std::string message = error.display();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

PyObject* internal_failure_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "tiltwick_runtime.InternalFailure",
            "Raised when native code called from Python fails irrecoverably.\n\n"
            "Like SystemExit, it derives from BaseException and not from Exception, so that it\n"
            "normally travels up the whole stack and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise_internal_failure(std::string_view text) {
    report_fatal("a call from Python", text);
    PyObject* type = internal_failure_type();
    if (type == nullptr) return nullptr;
    Owned message = Owned::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

PyObject* raise_from_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_failure(error.what());
    } catch (...) {
        raise_internal_failure("an unknown native exception reached the Python boundary");
    }
    return nullptr;
}

}  // namespace tiltwick::py
