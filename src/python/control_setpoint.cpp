// ControlSetpoint: a setpoint for one of the four firmware control modes,
// built only through its static constructors.
#include <Python.h>
#include <structmember.h>

#include <array>
#include <cstddef>
#include <new>


#include "python/args.hpp"
#include "python/float_repr.hpp"
#include "python/heap_type.hpp"
#include "python/types.hpp"

namespace velkarin::python {
namespace {

namespace sp = damiao::setpoints;

PyObject* make(const damiao::ControlSetpoint& value) {
    return new_holding<PyControlSetpoint>(control_setpoint_type(), value);
}

constinit Signature<1> kMit{"ControlSetpoint.mit()", {{{"setpoint", true}}}};
constinit Signature<2> kPosVel{"ControlSetpoint.pos_vel()",
                               {{{"position", true}, {"velocity", true}}}};
constinit Signature<1> kVel{"ControlSetpoint.vel()", {{{"velocity", true}}}};
constinit Signature<3> kForcePos{
    "ControlSetpoint.force_pos()",
    {{{"position", true}, {"velocity_limit", true}, {"torque_ratio", true}}}};

PyObject* mit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> in;
    if (!kMit.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    auto* setpoint =
        expect_instance<PyMitSetpoint>(in[0], mit_setpoint_type(), "setpoint", "MitSetpoint");
    if (setpoint == nullptr) return nullptr;
    return make(sp::Mit{setpoint->value});
}

PyObject* pos_vel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> in;
    if (!kPosVel.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    sp::PosVel v{};
    if (!to_f32(in[0], "position", &v.position) || !to_f32(in[1], "velocity", &v.velocity))
        return nullptr;
    return make(v);
}

PyObject* vel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> in;
    if (!kVel.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    sp::Vel v{};
    if (!to_f32(in[0], "velocity", &v.velocity)) return nullptr;
    return make(v);
}

PyObject* force_pos(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> in;
    if (!kForcePos.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    sp::ForcePos v{};
    if (!to_f32(in[0], "position", &v.position) ||
        !to_f32(in[1], "velocity_limit", &v.velocity_limit) ||
        !to_f32(in[2], "torque_ratio", &v.torque_ratio))
        return nullptr;
    return make(v);
}

struct ReprVisitor {
    std::string operator()(const sp::Mit& m) const {
        std::string s = "ControlSetpoint.mit(";
        append_field(s, "q", m.sp.q, true);
        append_field(s, "dq", m.sp.dq);
        append_field(s, "kp", m.sp.kp);
        append_field(s, "kd", m.sp.kd);
        append_field(s, "tau", m.sp.tau);
        return s + ')';
    }
    std::string operator()(const sp::PosVel& p) const {
        std::string s = "ControlSetpoint.pos_vel(";
        append_field(s, "position", p.position, true);
        append_field(s, "velocity", p.velocity);
        return s + ')';
    }
    std::string operator()(const sp::Vel& v) const {
        return "ControlSetpoint.vel(" + damiao::float_text::shortest(v.velocity) + ')';
    }
    std::string operator()(const sp::ForcePos& f) const {
        std::string s = "ControlSetpoint.force_pos(";
        append_field(s, "position", f.position, true);
        append_field(s, "velocity_limit", f.velocity_limit);
        append_field(s, "torque_ratio", f.torque_ratio);
        return s + ')';
    }
};

PyObject* repr(PyObject* self) {
    const auto& v = reinterpret_cast<PyControlSetpoint*>(self)->value;
    return to_py_str(std::visit(ReprVisitor{}, v.get()));
}

PyObject* get_mode(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<PyControlSetpoint*>(self)->value.mode());
}

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
PyMethodDef methods[] = {
    {"mit", fastcall(mit), kStatic,
     "mit(setpoint)\n--\n\nMIT impedance setpoint (control mode 1)."},
    {"pos_vel", fastcall(pos_vel), kStatic,
     "pos_vel(position, velocity)\n--\n\nPOS_VEL setpoint (control mode 2)."},
    {"vel", fastcall(vel), kStatic, "vel(velocity)\n--\n\nVEL setpoint (control mode 3)."},
    {"force_pos", fastcall(force_pos), kStatic,
     "force_pos(position, velocity_limit, torque_ratio)\n--\n\nFORCE_POS setpoint (control mode 4)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"mode", get_mode, nullptr,
     "Numeric control mode (matches the value written to register 10).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kNoConstructor[] = "No constructor defined for ControlSetpoint";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kNoConstructor>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyControlSetpoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin.ControlSetpoint", sizeof(PyControlSetpoint), 0, kTypeFlags, slots};

}  // namespace

PyTypeObject* control_setpoint_type() { return cached_type<&spec, nullptr>(); }

}  // namespace velkarin::python
