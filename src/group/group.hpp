// velkarin_group: many motors per tick from Python. Its objects take
// velkarin's own (bus objects, motors, setpoints) and give back velkarin's
// MotorState; everything in between is the C++ core's MotorGroup.
#pragma once

#include <Python.h>

namespace velkarin::group {

// The velkarin classes this module takes and makes, as velkarin's import
// created them. Borrowed: velkarin keeps its types for the whole process.
struct VelkarinTypes {
    PyTypeObject* bus = nullptr;               // SocketCanTransport
    PyTypeObject* motor = nullptr;             // Damiao
    PyTypeObject* mit_setpoint = nullptr;      // MitSetpoint
    PyTypeObject* control_setpoint = nullptr;  // ControlSetpoint
    PyTypeObject* motor_state = nullptr;       // MotorState
};

// Imports velkarin and checks that its objects are laid out as this module
// was compiled to read them (the same version, every class of the same
// size). Returns false with ImportError set otherwise.
bool import_velkarin();

// The types, once import_velkarin has succeeded.
const VelkarinTypes& velkarin_types();

// The module's classes, created at start-up; nullptr with an exception set
// when creation failed.
PyTypeObject* motor_group_type();
PyTypeObject* ticker_type();
// GroupError(RuntimeError), with an `outcomes` attribute on each instance.
PyObject* group_error_type();
// The module functions realtime(), status_name(), read_frame() and watched_ids().
PyMethodDef* realtime_function();
PyMethodDef* status_name_function();
PyMethodDef* read_frame_function();
PyMethodDef* watched_ids_function();

}  // namespace velkarin::group
