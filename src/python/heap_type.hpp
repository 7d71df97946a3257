// Creating the module's heap types: final, immutable, no instance dict, no
// weak references, and constructed through vectorcall.
#pragma once

#include <Python.h>

#include <new>

namespace velkarin::python {

// Flags every class of the module shares: not subclassable (no BASETYPE),
// attributes of the type itself cannot be changed.
inline constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// Creates the type from `spec`. With `construct` set, calling the class goes
// straight to it (the fast path); `tp_new` should forward to it as well for
// callers that go through `__new__`. Returns a new reference or nullptr.
PyTypeObject* create_type(PyType_Spec* spec, vectorcallfunc construct);

// The type's first creation, cached for the life of the process: the module
// refuses sub-interpreters, so one type object serves every caller.
template <PyType_Spec* Spec, vectorcallfunc Construct>
PyTypeObject* cached_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_type(Spec, Construct);
    return type;
}

// Allocates an object of `type` without zeroing or GC tracking: no object of
// the modules can be part of a reference cycle (a MotorGroup holds only the
// tuple of its members, whose objects hold no references). The caller
// constructs the payload.
template <typename T>
T* alloc_object(PyTypeObject* type) {
    void* mem = PyObject_Malloc(sizeof(T));
    if (mem == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto* obj = static_cast<T*>(mem);
    PyObject_Init(reinterpret_cast<PyObject*>(obj), type);  // takes a reference to the heap type
    return obj;
}

// A new object of `type` whose `value` field is a copy of `value`; nullptr
// with an exception set when the type could not be created or allocation failed.
template <typename T, typename V>
PyObject* new_holding(PyTypeObject* type, const V& value) {
    if (type == nullptr) return nullptr;
    T* obj = alloc_object<T>(type);
    if (obj == nullptr) return nullptr;
    new (&obj->value) V(value);
    return reinterpret_cast<PyObject*>(obj);
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table holds.
template <typename F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// tp_dealloc for objects whose payload is `T::value`-like and needs its
// destructor run: drops the fields, frees the memory, then releases the type.
template <typename T, void (*Destroy)(T*) = nullptr>
void dealloc_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (Destroy != nullptr) Destroy(reinterpret_cast<T*>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// tp_new forwarding to the type's vectorcall constructor, so that
// `Cls.__new__(Cls, ...)` parses exactly like `Cls(...)`.
PyObject* new_via_vectorcall(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// tp_new of a class Python cannot construct.
template <const char* Message>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, Message);
    return nullptr;
}

}  // namespace velkarin::python
