// Where native errors become Python exceptions: the one mapping of driver
// errors, the mapping of transport errors for opening a bus, and the module's
// exception for internal faults.
#pragma once

#include <Python.h>

#include "damiao/error.hpp"
#include "transport/transport_error.hpp"

namespace velkarin::python {

// RuntimeError with the driver error's one-line text; returns nullptr.
PyObject* dm_err_to_py(const damiao::Error& error);

// OSError (Backend: the OS error's text alone; Timeout: "CAN timeout") or
// ValueError ("oversized frame: N bytes", "invalid CAN id"); returns nullptr.
PyObject* transport_err_to_py(const transport::TransportError& error);

// The module's exception for internal faults: derives from BaseException,
// created on first use, not a module attribute. Borrowed, or nullptr.
PyObject* panic_exception_type();
// Raises PanicException(message); returns nullptr.
PyObject* raise_panic(const char* message);

}  // namespace velkarin::python
