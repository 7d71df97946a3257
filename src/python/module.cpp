// The module `velkarin`: its one exported symbol, PyInit_velkarin, and the
// start-up that fills the module once per process.
#include <Python.h>

#include <cstdint>

#include "python/errors.hpp"
#include "python/one_interpreter.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"
#include "velkarin/version.hpp"

namespace velkarin::python {
namespace {

// An empty docstring, so that velkarin.__doc__ is "" rather than None.
ModuleOnce the_module{"velkarin", ""};

// Appends `name` to the module's __all__ (created empty on first use), then
// sets the attribute. Steals `value`.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    if (!owned) return false;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef key = PyRef::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
    return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    return add_attribute(module, name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

// The module's native code emits no log records, so no sink is installed;
// importing logging keeps start-up's contract with the host (and fails it
// the same way when logging is broken).
bool init_logging() {
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (logging) return true;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
    PyRef text = PyRef::steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString("unknown error"));
    PyObject* panic = panic_exception_type();
    if (panic == nullptr) return false;
    if (!text) {
        PyErr_Clear();
        PyErr_SetString(panic, "Failed to initialize python logging");
        return false;
    }
    PyErr_Format(panic, "Failed to initialize python logging: %U", text.get());
    return false;
}

bool fill(PyObject* module) {
    if (!init_logging()) return false;
    if (!add_attribute(module, "__version__", PyUnicode_FromString(velkarin::kVersion)))
        return false;
    if (!add_class(module, "MitLimits", mit_limits_type()) ||
        !add_class(module, "MitSetpoint", mit_setpoint_type()) ||
        !add_class(module, "ControlSetpoint", control_setpoint_type()) ||
        !add_class(module, "MotorState", motor_state_type()) ||
        !add_class(module, "Damiao", damiao_type()) ||
        !add_class(module, "SocketCanTransport", socketcan_transport_type()))
        return false;
    PyRef name = PyRef::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    PyObject* function = PyCFunction_NewEx(mit_setpoint_function(), module, name.get());
    return add_attribute(module, mit_setpoint_function()->ml_name, function);
}

}  // namespace
}  // namespace velkarin::python

PyMODINIT_FUNC PyInit_velkarin() { return velkarin::python::the_module.get(velkarin::python::fill); }
