#include "python/arguments.hpp"

#include <cstring>
#include <string_view>
#include <vector>

namespace tiltwick::py {

namespace {

std::string plural(std::size_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

void raise_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += " ";
            if (i + 1 == names.size()) text += "and ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

// Binds one keyword argument; Python reports keyword problems before counting positionals.
bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value, std::span<PyObject*> bound) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) != 0) continue;
        if (bound[i] != nullptr) {
            raise_type_error(std::string(signature.display_name) + "() got multiple values for argument '" +
                             signature.parameters[i] + "'");
            return false;
        }
        bound[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.display_name, keyword);
    return false;
}

bool check_counts(const Signature& signature, Py_ssize_t nargs, std::span<PyObject*> bound) {
    const auto expected = signature.parameters.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > expected) {
        raise_type_error(std::string(signature.display_name) + "() takes " +
                         plural(expected, "positional argument") + " but " + std::to_string(given) +
                         (given == 1 ? " was" : " were") + " given");
        return false;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < expected; ++i) {
        if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    if (!missing.empty()) {
        raise_type_error(std::string(signature.display_name) + "() missing " +
                         plural(missing.size(), "required positional argument") + ": " + name_list(missing));
        return false;
    }
    return true;
}

// Takes the pending exception out of the interpreter (a normalised instance, new reference).
Owned take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Owned::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Owned old_type = Owned::steal(type), old_traceback = Owned::steal(traceback);
    return Owned::steal(value);
#endif
}

// Replaces the pending TypeError by "argument '<parameter>': <text>", keeping its cause.
void wrap_type_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Owned old_value = take_pending_exception();
    Owned text = Owned::steal(PyObject_Str(old_value.get()));
    if (!text) return;
    Owned message = Owned::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return;
    Owned replacement = Owned::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(old_value.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void raise_cannot_convert(PyObject* object, const char* target, const char* parameter) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(object).c_str(), target);
    wrap_type_error(parameter);
}

}  // namespace

std::string type_name(PyObject* object) {
    const char* full = Py_TYPE(object)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? std::string(dot + 1) : std::string(full);
}

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    const auto positional = std::min<std::size_t>(static_cast<std::size_t>(nargs), bound.size());
    for (std::size_t i = 0; i < positional; ++i) bound[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound)) return false;
        }
    }
    return check_counts(signature, nargs, bound);
}

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const auto positional = std::min<std::size_t>(static_cast<std::size_t>(nargs), bound.size());
    for (std::size_t i = 0; i < positional; ++i) bound[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (kwargs != nullptr) {
        PyObject *keyword, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(signature, keyword, value, bound)) return false;
        }
    }
    return check_counts(signature, nargs, bound);
}

bool extract_text(PyObject* object, const char* parameter, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString", parameter);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return false;  // lone surrogates: the interpreter's UnicodeEncodeError
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool extract_u32(PyObject* object, const char* parameter, std::uint32_t& out) {
    Owned index = Owned::steal(PyNumber_Index(object));
    if (!index) {
        wrap_type_error(parameter);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        wrap_type_error(parameter);
        return false;
    }
    if (value > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool extract_bool(PyObject* object, const char* parameter, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    // numpy's boolean scalar, recognised by its type's module and name without importing numpy.
    PyTypeObject* type = Py_TYPE(object);
    Owned module = Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) PyErr_Clear();
    const std::string name = type_name(object);
    if (module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
        (name == "bool_" || name == "bool")) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    raise_cannot_convert(object, "PyBool", parameter);
    return false;
}

}  // namespace tiltwick::py
