// velkarin's classes as velkarin_group finds them at import, checked against
// the layouts this module was compiled with.
#include <Python.h>

#include <cstring>
#include <string>

#include "group/group.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"
#include "velkarin/version.hpp"

namespace velkarin::group {
namespace {

using python::PyRef;

VelkarinTypes imported;

struct Expected {
    const char* name;
    PyTypeObject* VelkarinTypes::*slot;
    Py_ssize_t size;  // this build's sizeof of the object
};

constexpr Expected kClasses[] = {
    {"SocketCanTransport", &VelkarinTypes::bus, sizeof(python::PySocketCanTransport)},
    {"Damiao", &VelkarinTypes::motor, sizeof(python::PyDamiao)},
    {"MitSetpoint", &VelkarinTypes::mit_setpoint, sizeof(python::PyMitSetpoint)},
    {"ControlSetpoint", &VelkarinTypes::control_setpoint, sizeof(python::PyControlSetpoint)},
    {"MotorState", &VelkarinTypes::motor_state, sizeof(python::PyMotorState)},
};

bool mismatch(const std::string& what) {
    PyErr_Format(PyExc_ImportError,
                 "velkarin_group %s cannot use this velkarin: %s (both come from one build of the "
                 "same wheel; reinstall velkarin)",
                 velkarin::kVersion, what.c_str());
    return false;
}

}  // namespace

bool import_velkarin() {
    VelkarinTypes found;
    PyRef module = PyRef::steal(PyImport_ImportModule("velkarin"));
    if (!module) return false;
    PyRef version = PyRef::steal(PyObject_GetAttrString(module.get(), "__version__"));
    if (!version) return false;
    const char* v = PyUnicode_AsUTF8(version.get());
    if (v == nullptr) return false;
    if (std::strcmp(v, velkarin::kVersion) != 0)
        return mismatch(std::string("it is version ") + v);
    for (const auto& c : kClasses) {
        PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), c.name));
        if (!cls) return false;
        if (!PyType_Check(cls.get())) return mismatch(std::string(c.name) + " is not a class");
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        // velkarin's own classes are final and immutable, made by its native
        // code; a class written in Python (a stand-in put in its place) is neither.
        const auto flags = PyType_GetFlags(type);
        const bool native_final = (flags & Py_TPFLAGS_IMMUTABLETYPE) != 0 &&
                                  (flags & Py_TPFLAGS_BASETYPE) == 0 &&
                                  type->tp_base == &PyBaseObject_Type;
        if (!native_final || std::strcmp(type->tp_name, (std::string("velkarin.") + c.name).c_str()) != 0)
            return mismatch(std::string(c.name) + " is not velkarin's own class");
        if (type->tp_basicsize != c.size)
            return mismatch(std::string(c.name) + " objects are " +
                            std::to_string(type->tp_basicsize) + " bytes there, " +
                            std::to_string(c.size) + " here");
        // velkarin keeps its classes for the life of the process.
        found.*c.slot = type;
    }
    imported = found;
    return true;
}

const VelkarinTypes& velkarin_types() { return imported; }

}  // namespace velkarin::group
