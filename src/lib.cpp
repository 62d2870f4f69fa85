// The module's entry point: creates the module once per process and adds, in order,
// parse_data_stream_py, AHRSClient and BufferedAHRSClient, listing each in __all__.

#include "python/owned.hpp"

#include <cstdint>

#include "python/convert.hpp"
#include "python/module_parts.hpp"

namespace {

using tiltwick::py::Owned;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tiltwick",
    "A Python module implemented in C++.",
    0,  // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;
std::int64_t owning_interpreter = -1;

// Appends `name` to __all__ (creating it on the first addition), then sets the attribute.
bool add(PyObject* module, const char* name, PyObject* value) {
    Owned keep = Owned::steal(value);
    if (!keep) return false;
    PyObject* dict = PyModule_GetDict(module);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, "__all__", &found) < 0) return false;
    Owned all = Owned::steal(found);
#else
    Owned all = Owned::borrow(PyDict_GetItemString(dict, "__all__"));
#endif
    if (!all) {
        all = Owned::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) != 0) return false;
    }
    Owned name_object = Owned::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) != 0) return false;
    return PyModule_AddObjectRef(module, name, keep.get()) == 0;
}

PyObject* create_module() {
    Owned module = Owned::steal(PyModule_Create(&module_definition));
    if (!module || !tiltwick::py::intern_conversion_names()) return nullptr;
    Owned module_name = Owned::steal(PyUnicode_FromString("tiltwick"));
    if (!module_name) return nullptr;
    if (!add(module.get(), "parse_data_stream_py",
             tiltwick::py::new_parse_data_stream_function(module.get(), module_name.get())) ||
        !add(module.get(), "AHRSClient", Py_XNewRef(reinterpret_cast<PyObject*>(tiltwick::py::ahrs_client_type()))) ||
        !add(module.get(), "BufferedAHRSClient",
             Py_XNewRef(reinterpret_cast<PyObject*>(tiltwick::py::buffered_client_type())))) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_tiltwick() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (owning_interpreter >= 0 && owning_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError, "tiltwick does not support sub-interpreters: it is already "
                                           "initialised in another interpreter of this process");
        return nullptr;
    }
    if (the_module == nullptr) {
        the_module = create_module();
        if (the_module == nullptr) return nullptr;
        owning_interpreter = interpreter;
    }
    return Py_NewRef(the_module);
}
