// Outcomes to MotorState objects, or the GroupError naming every failure.
#include "group/outcomes.hpp"

#include <new>
#include <string>

#include "group/group.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"

namespace velkarin::group {
namespace {

using python::PyRef;

PyObject* state_object(const damiao::MotorState& s) {
    return python::new_holding<python::PyMotorState>(velkarin_types().motor_state, s);
}

std::string hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

}  // namespace

PyObject* outcomes_to_python(PyObject* members,
                             std::span<const damiao::Result<damiao::MotorState>> outcomes,
                             std::span<transport::BusWatch> watches) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
    if (!list) return nullptr;
    std::size_t failed = 0;
    std::string failures;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const auto& o = outcomes[i];
        PyObject* item = o ? state_object(*o) : python::dm_err_object(o.error());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        if (o) continue;
        const auto* motor = reinterpret_cast<python::PyDamiao*>(
            PyTuple_GET_ITEM(PyTuple_GET_ITEM(members, static_cast<Py_ssize_t>(i)), 1));
        failures += (failed++ == 0 ? "" : "; ");
        failures += "member " + std::to_string(i) + " (motor " + hex(motor->driver.motor_id()) +
                    "): " + o.error().text();
    }
    if (failed == 0) return list.release();

    std::string message = std::to_string(failed) + " of " + std::to_string(outcomes.size()) +
                          " motors failed: " + failures;
    for (auto& watch : watches) {
        const transport::BusConditions seen = watch.look();
        for (std::size_t c = 0; c < transport::kBusConditions; ++c)
            if (seen.test(c))
                message += "; " + watch.iface() + ": " +
                           std::string(transport::advice_for(static_cast<transport::BusCondition>(c)));
    }
    PyRef error = PyRef::steal(PyObject_CallFunction(group_error_type(), "s", message.c_str()));
    if (!error || PyObject_SetAttrString(error.get(), "outcomes", list.get()) < 0) return nullptr;
    PyErr_SetObject(group_error_type(), error.get());
    return nullptr;
}

}  // namespace velkarin::group
