// A round's outcomes as Python sees them: the list of MotorState when every
// member answered, else GroupError carrying each member's state or error.
#pragma once

#include <Python.h>

#include <span>

#include "damiao/error.hpp"
#include "transport/bus_watch.hpp"

namespace velkarin::group {

// `members` is the group's tuple of (bus, motor) pairs. Returns a new list,
// or nullptr with GroupError (or an allocation failure) set. A member's
// error is the RuntimeError its own Damiao method raises for it. When some
// member failed, the buses' watches are asked what their error frames
// reported since they last looked, and the GroupError's message ends with
// each condition and what to check ("vcan0: no acknowledgement: is any motor
// powered, is the bus terminated?").
PyObject* outcomes_to_python(PyObject* members,
                             std::span<const damiao::Result<damiao::MotorState>> outcomes,
                             std::span<transport::BusWatch> watches);

}  // namespace velkarin::group
