// The Python objects of the module: each wraps one native record by value.
// Every type is a heap type created on first use and kept for the process.
#pragma once

#include <Python.h>

#include "damiao/driver.hpp"
#include "damiao/mit/codec.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "python/object_lock.hpp"
#include "python/signals.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::python {

struct PyMitLimits {
    PyObject_HEAD
    damiao::MitLimits value;
};

struct PyMitSetpoint {
    PyObject_HEAD
    damiao::MitSetpoint value;
};

struct PyControlSetpoint {
    PyObject_HEAD
    damiao::ControlSetpoint value;
};

struct PyMotorState {
    PyObject_HEAD
    damiao::MotorState value;
};

struct PyDamiao {
    PyObject_HEAD
    damiao::Damiao driver;
};

// The bus object: one open CAN socket behind the bus lock. A Damiao method
// holds the lock for exactly one driver operation, except while a signal
// interrupts its wait and `signals` runs the interpreter's handlers.
struct PySocketCanTransport {
    PyObject_HEAD
    ObjectLock lock;
    transport::SocketCanTransport transport;
    PythonSignalHandlers signals;
};

// Borrowed references to the types, created on first use; nullptr with an
// exception set if creation failed.
PyTypeObject* mit_limits_type();
PyTypeObject* mit_setpoint_type();
PyTypeObject* control_setpoint_type();
PyTypeObject* motor_state_type();
PyTypeObject* damiao_type();
PyTypeObject* socketcan_transport_type();

// New objects holding a copy of the record; nullptr with an exception set.
PyObject* new_mit_limits(const damiao::MitLimits& value);
PyObject* new_mit_setpoint(const damiao::MitSetpoint& value);
PyObject* new_motor_state(const damiao::MotorState& value);

// The module function `mit_setpoint`, bound to the module at start-up.
PyMethodDef* mit_setpoint_function();

}  // namespace velkarin::python
