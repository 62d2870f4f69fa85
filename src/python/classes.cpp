#include "python/classes.hpp"

namespace tiltwick::py {

PyTypeObject* class_type(ClassDefinition& definition, PyTypeObject*& cache) {
    if (cache != nullptr) return cache;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(definition.doc)},
        {Py_tp_new, reinterpret_cast<void*>(definition.constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(definition.dealloc)},
        {Py_tp_methods, definition.methods},
        {0, nullptr},
    };
    PyType_Spec type_spec{definition.qualified_name, definition.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return cache;
}

}  // namespace tiltwick::py
