// Where native errors become Python exceptions, for both modules: the one
// mapping of driver errors, the mapping of transport errors for opening a
// bus, C++ exceptions at an entry point, and the exception for internal
// faults.
#pragma once

#include <Python.h>

#include <exception>

#include "damiao/error.hpp"
#include "transport/transport_error.hpp"

namespace velkarin::python {

// RuntimeError with the driver error's one-line text; returns nullptr.
PyObject* dm_err_to_py(const damiao::Error& error);
// The same exception as an object (a new reference), for a caller that
// hands it over instead of raising it; nullptr with an exception set.
PyObject* dm_err_object(const damiao::Error& error);
// ValueError with the error's text, for an error in what the caller gave (a
// group that cannot be formed); returns nullptr.
PyObject* value_err_to_py(const damiao::Error& error);

// OSError (Backend: the OS error's text alone; Timeout: "CAN timeout") or
// ValueError ("oversized frame: N bytes", "invalid CAN id"); returns nullptr.
PyObject* transport_err_to_py(const transport::TransportError& error);

// A C++ exception that reached an entry point: MemoryError for bad_alloc,
// PanicException with its text for anything else; returns nullptr.
PyObject* raise_cpp_exception(const std::exception& e);

// The exception for internal faults: derives from BaseException, created on
// first use, not a module attribute; one class for both modules, whichever
// needs it first. Borrowed, or nullptr.
PyObject* panic_exception_type();
// Raises PanicException(message); returns nullptr.
PyObject* raise_panic(const char* message);

}  // namespace velkarin::python
