// Native errors to Python exceptions, each with the error's own text as the
// single argument and no chained cause.
#include "python/errors.hpp"

#include <new>
#include <string>

#include "python/py_ref.hpp"

namespace velkarin::python {

PyObject* dm_err_to_py(const damiao::Error& error) {
    const std::string text = error.text();
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    return nullptr;
}

PyObject* dm_err_object(const damiao::Error& error) {
    const std::string text = error.text();
    return PyObject_CallFunction(PyExc_RuntimeError, "s", text.c_str());
}

PyObject* value_err_to_py(const damiao::Error& error) {
    const std::string text = error.text();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

PyObject* transport_err_to_py(const transport::TransportError& error) {
    using Kind = transport::TransportError::Kind;
    switch (error.kind) {
        case Kind::Backend:
            PyErr_SetString(PyExc_OSError, error.io.text().c_str());
            break;
        case Kind::Timeout:
            PyErr_SetString(PyExc_OSError, "CAN timeout");
            break;
        case Kind::FrameTooLarge:
            PyErr_Format(PyExc_ValueError, "oversized frame: %zu bytes", error.size);
            break;
        case Kind::InvalidId:
            PyErr_SetString(PyExc_ValueError, "invalid CAN id");
            break;
    }
    return nullptr;
}

namespace {

constexpr const char* kPanicModule = "velkarin";
constexpr const char* kPanicName = "PanicException";

// The class the other module may have made already: a direct subclass of
// BaseException named velkarin.PanicException. Borrowed, or nullptr.
PyObject* existing_panic_type() {
    PyRef subclasses = PyRef::steal(PyObject_CallMethod(PyExc_BaseException, "__subclasses__", nullptr));
    if (!subclasses) {
        PyErr_Clear();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subclasses.get()); ++i) {
        PyObject* cls = PyList_GET_ITEM(subclasses.get(), i);
        PyRef module = PyRef::steal(PyObject_GetAttrString(cls, "__module__"));
        PyRef name = PyRef::steal(PyObject_GetAttrString(cls, "__qualname__"));
        if (!module || !name) {
            PyErr_Clear();
            continue;
        }
        if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), kPanicModule) == 0 &&
            PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), kPanicName) == 0)
            return cls;  // kept alive by the other module, for the process
    }
    return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
    // Process-lifetime: the modules refuse sub-interpreters, so one class serves.
    static PyObject* type = nullptr;
    if (type == nullptr) type = existing_panic_type();
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "velkarin.PanicException",
            "Raised when velkarin's native code fails internally.\n\n"
            "Like SystemExit, it derives from BaseException, so that it normally\n"
            "propagates all the way up and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise_cpp_exception(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return PyErr_NoMemory();
    return raise_panic(e.what());
}

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

}  // namespace velkarin::python
