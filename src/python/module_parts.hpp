#pragma once
// What the module root adds to the module, in order.

#include "python/owned.hpp"

namespace tiltwick::py {

PyTypeObject* ahrs_client_type();
PyTypeObject* buffered_client_type();
// A new reference to the built-in function, bound to `module` (its __self__), which is named
// `module_name` (its __module__).
PyObject* new_parse_data_stream_function(PyObject* module, PyObject* module_name);

}  // namespace tiltwick::py
