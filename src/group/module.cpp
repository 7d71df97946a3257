// The module `velkarin_group`: its one exported symbol, PyInit_velkarin_group.
// Importing it imports velkarin and checks its object layouts; it changes
// nothing of velkarin.
#include <Python.h>

#include <cstdint>
#include <exception>

#include "group/group.hpp"
#include "group/stats.hpp"
#include "python/errors.hpp"
#include "python/one_interpreter.hpp"
#include "python/py_ref.hpp"

namespace velkarin::group {
namespace {

using python::PyRef;

python::ModuleOnce the_module{
    "velkarin_group",
    "Many motors per tick: rounds over several motors and buses in one call, and a\n"
    "periodic clock for the control loop. Takes velkarin's own objects."};

bool fill(PyObject* module) {
    if (!import_velkarin()) return false;
    const struct {
        const char* name;
        PyObject* object;
    } exported[] = {
        {"MotorGroup", reinterpret_cast<PyObject*>(motor_group_type())},
        {"GroupError", group_error_type()},
        {"Ticker", reinterpret_cast<PyObject*>(ticker_type())},
        {"MemberStats", reinterpret_cast<PyObject*>(member_stats_type())},
        {"BusHealth", reinterpret_cast<PyObject*>(bus_health_type())},
        {"TickerStats", reinterpret_cast<PyObject*>(ticker_stats_type())},
    };
    PyRef all = PyRef::steal(PyList_New(0));
    PyRef module_name = PyRef::steal(PyUnicode_FromString("velkarin_group"));
    if (!all || !module_name) return false;
    for (const auto& e : exported) {
        if (e.object == nullptr) return false;
        PyRef name = PyRef::steal(PyUnicode_FromString(e.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
        if (PyObject_SetAttr(module, name.get(), e.object) < 0) return false;
    }
    for (PyMethodDef* function :
         {realtime_function(), status_name_function(), read_frame_function(), watched_ids_function()}) {
        PyRef object = PyRef::steal(PyCFunction_NewEx(function, nullptr, module_name.get()));
        PyRef name = PyRef::steal(PyUnicode_FromString(function->ml_name));
        if (!object || !name || PyList_Append(all.get(), name.get()) < 0 ||
            PyObject_SetAttr(module, name.get(), object.get()) < 0)
            return false;
    }
    return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

PyObject* init() {
    return the_module.get([](PyObject* module) {
        try {
            return fill(module);
        } catch (const std::exception& e) {  // the texts of a refused velkarin
            python::raise_cpp_exception(e);
            return false;
        }
    });
}

}  // namespace

PyObject* group_error_type() {
    static PyObject* type = nullptr;  // process-lifetime, as the module's types
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "velkarin_group.GroupError",
            "A round in which some members failed. `outcomes` holds, per member in\n"
            "order, its MotorState or the RuntimeError its own Damiao method would\n"
            "have raised.",
            PyExc_RuntimeError, nullptr);
    }
    return type;
}

}  // namespace velkarin::group

PyMODINIT_FUNC PyInit_velkarin_group() { return velkarin::group::init(); }
