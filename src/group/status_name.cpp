// The module function status_name(): the name of a motor's status code, as
// velkarin-tool prints it, for programs that show MotorState.error or
// MemberStats.last_status to a person.
#include <Python.h>

#include "damiao/motor_status.hpp"
#include "group/group.hpp"

namespace velkarin::group {
namespace {

PyObject* status_name(PyObject*, PyObject* code) {
    const long value = PyLong_AsLong(code);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0 || value > 0xF)
        return PyErr_Format(PyExc_ValueError, "a status code is 0 to 15, got %ld", value);
    const auto name = damiao::status_name(static_cast<std::uint8_t>(value));
    if (!name) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
}

PyMethodDef status_name_def = {
    "status_name", status_name, METH_O,
    "status_name(code, /)\n--\n\n"
    "The name of a motor's status code (MotorState.error, MemberStats.last_status):\n"
    "'disabled', 'enabled', or the fault's, such as 'over-voltage'; None for a\n"
    "code the motor does not document."};

}  // namespace

PyMethodDef* status_name_function() { return &status_name_def; }

}  // namespace velkarin::group
