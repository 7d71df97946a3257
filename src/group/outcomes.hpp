// A round's outcomes as Python sees them: the list of MotorState when every
// member answered, else GroupError carrying each member's state or error.
#pragma once

#include <Python.h>

#include <span>

#include "damiao/error.hpp"

namespace velkarin::group {

// `members` is the group's tuple of (bus, motor) pairs. Returns a new list,
// or nullptr with GroupError (or an allocation failure) set. A member's
// error is the RuntimeError its own Damiao method raises for it.
PyObject* outcomes_to_python(PyObject* members,
                             std::span<const damiao::Result<damiao::MotorState>> outcomes);

}  // namespace velkarin::group
