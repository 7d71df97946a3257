// The module functions read_frame() and watched_ids(): a frame another program put on the bus,
// read for one motor by the core, for programs that watch a bus without
// sending on it (velkarin-view --watch). Its results are plain values:
//   None                           not this motor's frame
//   ("feedback", MotorState)       the motor's feedback on its master id
//   ("mit", {q, dq, kp, kd, tau})  and ("pos_vel", ...), ("vel", ...),
//   ("force_pos", {position, velocity_limit, torque_ratio}): a command
//   ("special", "enable")          or "disable", "zero", "clear"
//   ("request" | "reply", {op, register, value}): register traffic
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "damiao/seen_frame.hpp"
#include "group/group.hpp"
#include "python/args.hpp"
#include "python/heap_type.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"

namespace velkarin::group {
namespace {

using python::PyRef;

constinit python::Signature<3> kReadFrame{"read_frame()", {{{"motor", true}, {"can_id", true}, {"data", true}}}};

struct Field {
    const char* name;
    double value;
};

PyObject* fields(std::initializer_list<Field> list) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& f : list) {
        PyRef v = PyRef::steal(PyFloat_FromDouble(f.value));
        if (!v || PyDict_SetItemString(dict.get(), f.name, v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* setpoint_result(const damiao::ControlSetpoint& setpoint) {
    const auto mode = damiao::modes::name_of(setpoint.mode());
    PyRef values = PyRef::steal(std::visit(
        [](const auto& s) -> PyObject* {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, damiao::setpoints::Mit>)
                return fields({{"q", s.sp.q}, {"dq", s.sp.dq}, {"kp", s.sp.kp}, {"kd", s.sp.kd}, {"tau", s.sp.tau}});
            else if constexpr (std::is_same_v<S, damiao::setpoints::PosVel>)
                return fields({{"position", s.position}, {"velocity", s.velocity}});
            else if constexpr (std::is_same_v<S, damiao::setpoints::Vel>)
                return fields({{"velocity", s.velocity}});
            else
                return fields({{"position", s.position}, {"velocity_limit", s.velocity_limit},
                               {"torque_ratio", s.torque_ratio}});
        },
        setpoint.get()));
    if (!values) return nullptr;
    return Py_BuildValue("(s#O)", mode->data(), static_cast<Py_ssize_t>(mode->size()), values.get());
}

PyObject* result(const damiao::SeenFrame& seen) {
    return std::visit(
        [](const auto& s) -> PyObject* {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, std::monostate>) {
                Py_RETURN_NONE;
            } else if constexpr (std::is_same_v<S, damiao::SeenFeedback>) {
                PyRef state = PyRef::steal(
                    python::new_holding<python::PyMotorState>(velkarin_types().motor_state, s.state));
                return state ? Py_BuildValue("(sO)", "feedback", state.get()) : nullptr;
            } else if constexpr (std::is_same_v<S, damiao::SeenSetpoint>) {
                return setpoint_result(s.setpoint);
            } else if constexpr (std::is_same_v<S, damiao::SeenSpecial>) {
                const auto name = damiao::special_command_name(s.command);
                return Py_BuildValue("(ss#)", "special", name.data(), static_cast<Py_ssize_t>(name.size()));
            } else {
                const auto op = damiao::register_op_name(s.op);
                return Py_BuildValue("(s{s:s#,s:i,s:k})", s.reply ? "reply" : "request", "op", op->data(),
                                     static_cast<Py_ssize_t>(op->size()), "register", int{s.reg}, "value",
                                     static_cast<unsigned long>(s.value));
            }
        },
        seen);
}

// The bytes of a buffer-protocol object, held from construction to
// destruction: released on every way out of the function that asked.
class HeldBytes {
public:
    explicit HeldBytes(PyObject* object) : held_(PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0) {}
    ~HeldBytes() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldBytes(const HeldBytes&) = delete;
    HeldBytes& operator=(const HeldBytes&) = delete;

    // False with the Python error set when the object has no such buffer.
    explicit operator bool() const { return held_; }
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_;
};

// The ids and limits by which the core reads a motor's frames; nullopt with a
// TypeError set when `object` is no Damiao.
std::optional<damiao::WatchedMotor> watched_motor(PyObject* object) {
    const auto* motor = python::expect_instance<python::PyDamiao>(object, velkarin_types().motor, "motor", "Damiao");
    if (motor == nullptr) return std::nullopt;
    return damiao::WatchedMotor{motor->driver.motor_id(), motor->driver.master_id(), motor->driver.limits()};
}

PyObject* read_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> in;
    if (!kReadFrame.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    const auto watched = watched_motor(in[0]);
    if (!watched) return nullptr;
    const unsigned long can_id = PyLong_AsUnsignedLong(in[1]);
    if (can_id == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    const HeldBytes data(in[2]);
    if (!data) return nullptr;
    // An identifier above 11 bits is an extended one: no motor's.
    const auto id = can_id <= transport::CanId::kStandardMax
                        ? transport::CanId::standard_low_bits(static_cast<std::uint32_t>(can_id))
                        : transport::CanId::extended(static_cast<std::uint32_t>(can_id));
    return result(damiao::read_seen_frame(*watched, id, data.bytes()));
}

PyObject* watched_ids(PyObject*, PyObject* motor_object) {
    const auto watched = watched_motor(motor_object);
    if (!watched) return nullptr;
    const auto ids = damiao::seen_frame_ids(*watched);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& id : ids) {
        PyRef n = PyRef::steal(PyLong_FromUnsignedLong(id.value));
        if (!n || PyList_Append(list.get(), n.get()) < 0) return nullptr;
    }
    return list.release();
}

PyMethodDef watched_ids_def = {
    "watched_ids", watched_ids, METH_O,
    "watched_ids(motor, /)\n--\n\n"
    "The standard CAN identifiers read_frame() reads for `motor`: its four\n"
    "command identifiers (MIT first), its master id and 0x7FF. A receive filter\n"
    "of these passes every frame there is to see of it."};

PyMethodDef read_frame_def = {
    "read_frame", python::fastcall(read_frame), METH_FASTCALL | METH_KEYWORDS,
    "read_frame(motor, can_id, data)\n--\n\n"
    "A frame seen on the bus, read for `motor` (a Damiao: its ids and limits)\n"
    "without sending anything: None when it is none of the motor's frames;\n"
    "('feedback', MotorState); a command as ('mit', {'q', 'dq', 'kp', 'kd', 'tau'}),\n"
    "('pos_vel', {'position', 'velocity'}), ('vel', {'velocity'}) or ('force_pos',\n"
    "{'position', 'velocity_limit', 'torque_ratio'}); ('special', 'enable' |\n"
    "'disable' | 'zero' | 'clear'); or register traffic as ('request' | 'reply',\n"
    "{'op', 'register', 'value'})."};

}  // namespace

PyMethodDef* read_frame_function() { return &read_frame_def; }
PyMethodDef* watched_ids_function() { return &watched_ids_def; }

}  // namespace velkarin::group
