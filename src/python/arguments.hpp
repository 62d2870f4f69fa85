#pragma once
// Binding Python call arguments to named parameters, and converting them to native values
// with the exact errors Python users expect.

#include "python/owned.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tiltwick::py {

// A callable's name as errors show it ("AHRSClient.open") and its parameter names. Every
// parameter is required and may be passed by position or by keyword.
struct Signature {
    const char* display_name;
    std::span<const char* const> parameters;
};

// Binds a vector call (positional args, then keyword values named by `kwnames`) into
// `bound` (one borrowed reference per parameter). Raises TypeError with Python's wording.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> bound);

// The same for a constructor call: an argument tuple and an optional keyword dict.
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// Conversions. On failure a Python exception is set and false returned; a TypeError is
// re-raised as "argument '<parameter>': <original text>" keeping the original's cause.
bool extract_text(PyObject* object, const char* parameter, std::string& out);
bool extract_u32(PyObject* object, const char* parameter, std::uint32_t& out);
bool extract_bool(PyObject* object, const char* parameter, bool& out);

// The short type name Python shows in messages ("bytes", "float").
std::string type_name(PyObject* object);

}  // namespace tiltwick::py
