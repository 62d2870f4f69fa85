#pragma once
// What the module root adds to the module, in order.

#include "python/owned.hpp"

namespace tiltwick::py {

PyTypeObject* ahrs_client_type();
PyTypeObject* buffered_client_type();
// A new reference to the built-in function, bound to the module named `module_name`.
PyObject* new_parse_data_stream_function(PyObject* module_name);

}  // namespace tiltwick::py
