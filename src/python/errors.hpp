#pragma once
// How native failures become Python exceptions, in one place.

#include "python/owned.hpp"

#include <exception>
#include <string_view>

#include "link/ahrs_error.hpp"

namespace tiltwick::py {

// ValueError("AHRSError: <text>"); returns null for the caller to return.
PyObject* raise_value_error(const AHRSError& error);

// Writes the fatal report to standard error and raises InternalFailure(text); returns null.
PyObject* raise_internal_failure(std::string_view text);

// The InternalFailure class (created on first use, kept for the life of the process), or null.
PyObject* internal_failure_type();

// Maps a C++ exception that reached the binding boundary: MemoryError for allocation
// failures, InternalFailure for anything else. Returns null.
PyObject* raise_from_current_exception();

// Runs `body` and turns any C++ exception it throws into a Python exception.
template <class Body>
auto guarded(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_from_current_exception();
        return decltype(body()){};
    }
}

}  // namespace tiltwick::py
