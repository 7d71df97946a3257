// Heap type creation shared by every class of the module.
#include "python/heap_type.hpp"

namespace velkarin::python {

PyTypeObject* create_type(PyType_Spec* spec, vectorcallfunc construct) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (type == nullptr) return nullptr;
    if (construct != nullptr) {
        // Calling a type dispatches through its tp_vectorcall slot; setting
        // it skips type_call's tuple/dict building for every construction.
        type->tp_vectorcall = construct;
    }
    return type;
}

PyObject* new_via_vectorcall(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(reinterpret_cast<PyObject*>(type), args, kwargs);
}

}  // namespace velkarin::python
