// MotorState: one decoded feedback frame, created only from a motor's reply.
#include <Python.h>
#include <structmember.h>

#include <cstddef>


#include "python/float_repr.hpp"
#include "python/heap_type.hpp"
#include "python/types.hpp"

namespace velkarin::python {
namespace {

using damiao::float_text::four_decimals;

PyObject* repr(PyObject* self) {
    const auto& v = reinterpret_cast<PyMotorState*>(self)->value;
    std::string s = "MotorState(motor_id=" + std::to_string(v.motor_id) +
                    ", error=" + std::to_string(v.error) +
                    ", position=" + four_decimals(v.position) +
                    ", velocity=" + four_decimals(v.velocity) +
                    ", torque=" + four_decimals(v.torque) +
                    ", t_mos=" + std::to_string(v.t_mos) +
                    ", t_rotor=" + std::to_string(v.t_rotor) + ')';
    return to_py_str(s);
}

#define FIELD(name, kind) \
    {#name, kind, offsetof(PyMotorState, value) + offsetof(damiao::MotorState, name), READONLY, nullptr}
PyMemberDef members[] = {
    FIELD(motor_id, T_UBYTE), FIELD(error, T_UBYTE),  FIELD(position, T_FLOAT),
    FIELD(velocity, T_FLOAT), FIELD(torque, T_FLOAT), FIELD(t_mos, T_UBYTE),
    FIELD(t_rotor, T_UBYTE),  {nullptr, 0, 0, 0, nullptr},
};
#undef FIELD

constexpr char kNoConstructor[] = "No constructor defined for MotorState";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kNoConstructor>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyMotorState>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin.MotorState", sizeof(PyMotorState), 0, kTypeFlags, slots};

}  // namespace

PyTypeObject* motor_state_type() { return cached_type<&spec, nullptr>(); }

// The one allocation on a command's success path.
PyObject* new_motor_state(const damiao::MotorState& value) {
    return new_holding<PyMotorState>(motor_state_type(), value);
}

}  // namespace velkarin::python
