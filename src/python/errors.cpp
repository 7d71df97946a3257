// Native errors to Python exceptions, each with the error's own text as the
// single argument and no chained cause.
#include "python/errors.hpp"

#include <string>

namespace velkarin::python {

PyObject* dm_err_to_py(const damiao::Error& error) {
    const std::string text = error.text();
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
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

PyObject* panic_exception_type() {
    // Process-lifetime: the module refuses sub-interpreters, so one class serves.
    static PyObject* type = nullptr;
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

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

}  // namespace velkarin::python
