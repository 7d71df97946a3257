// Damiao: the Python face of the driver for one motor. Each command method
// parses its arguments, takes the bus lock, runs exactly one driver
// operation and turns its result into a MotorState or its error into the
// exception.
#include <Python.h>
#include <structmember.h>

#include <cxxabi.h>

#include <array>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"

namespace velkarin::python {
namespace {

using damiao::Result;
using transport::CanTransport;

constinit Signature<4> kConstructor{
    "Damiao.__new__()",
    {{{"motor_id", true}, {"master_id", true}, {"limits", false}, {"timeout_ms", false}}}};

constexpr std::uint64_t kDefaultTimeoutMs = 20;

PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 4> in;
    if (!kConstructor.parse(args, nargsf, kwnames, in)) return nullptr;
    std::uint16_t motor_id = 0, master_id = 0;
    if (!to_u16(in[0], "motor_id", &motor_id) || !to_u16(in[1], "master_id", &master_id))
        return nullptr;
    damiao::MitLimits limits;  // None or omitted: the dm4310 ranges
    if (in[2] != nullptr && in[2] != Py_None) {
        auto* given = expect_instance<PyMitLimits>(in[2], mit_limits_type(), "limits", "MitLimits");
        if (given == nullptr) return nullptr;
        limits = given->value;
    }
    std::uint64_t timeout_ms = kDefaultTimeoutMs;
    if (in[3] != nullptr && !to_u64(in[3], "timeout_ms", &timeout_ms)) return nullptr;

    auto* obj = alloc_object<PyDamiao>(reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) return nullptr;
    new (&obj->driver) damiao::Damiao(motor_id, master_id, limits, timeout_ms);
    return reinterpret_cast<PyObject*>(obj);
}

// A driver error becomes RuntimeError, except when the wait was ended by a
// Python signal handler that raised (Ctrl-C: KeyboardInterrupt, or whatever
// the handler's own commands raised): that exception is already set and is
// what the caller gets.
PyObject* raise_driver_error(const damiao::Error& error) {
    if (PyErr_Occurred()) return nullptr;
    return dm_err_to_py(error);
}

// Runs `op` on the bus's transport with the bus lock held. The lock is
// released on every path, a C++ exception (an internal fault) included,
// which reaches Python as PanicException. A signal handler that raises
// while the call waits for the lock ends it there: nothing is sent.
template <typename Op>
auto with_bus(PyObject* bus_obj, Op&& op) -> std::optional<decltype(op(std::declval<CanTransport&>()))> {
    auto* bus = reinterpret_cast<PySocketCanTransport*>(bus_obj);
    PyRef hold = PyRef::borrow(bus_obj);  // the bus lives for the whole call
    try {
        if (!bus->lock.acquire()) return std::nullopt;
        HeldLock held(bus->lock);
        return op(static_cast<CanTransport&>(bus->transport));
    } catch (abi::__forced_unwind&) {
        hold.abandon();  // the interpreter ends this thread: no interpreter lock to decref with
        throw;
    } catch (const std::exception& e) {
        raise_cpp_exception(e);
    } catch (...) {
        raise_panic("unknown internal fault in a driver operation");
    }
    return std::nullopt;
}

PyObject* bus_argument(PyObject* o) {
    return reinterpret_cast<PyObject*>(expect_instance<PySocketCanTransport>(
        o, socketcan_transport_type(), "bus", "SocketCanTransport"));
}

PyObject* state_result(std::optional<Result<damiao::MotorState>> r) {
    if (!r) return nullptr;
    if (!*r) return raise_driver_error(r->error());
    return new_motor_state(**r);
}

const damiao::Damiao& driver_of(PyObject* self) {
    return reinterpret_cast<PyDamiao*>(self)->driver;
}

// The four special commands: one parameter, `bus`.
using SpecialCommand = Result<damiao::MotorState> (damiao::Damiao::*)(CanTransport&) const;

template <const char* FullName, SpecialCommand Command>
PyObject* special(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constinit Signature<1> sig{FullName, {{{"bus", true}}}};
    std::array<PyObject*, 1> in;
    if (!sig.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    PyObject* bus = bus_argument(in[0]);
    if (bus == nullptr) return nullptr;
    const auto& d = driver_of(self);
    return state_result(with_bus(bus, [&](CanTransport& t) { return (d.*Command)(t); }));
}

constexpr char kEnable[] = "Damiao.enable()";
constexpr char kDisable[] = "Damiao.disable()";
constexpr char kSetZero[] = "Damiao.set_zero()";
constexpr char kClearError[] = "Damiao.clear_error()";

constinit Signature<2> kMitControl{"Damiao.mit_control()", {{{"bus", true}, {"setpoint", true}}}};
constinit Signature<2> kControl{"Damiao.control()", {{{"bus", true}, {"setpoint", true}}}};
constinit Signature<1> kEnsureMitMode{"Damiao.ensure_mit_mode()", {{{"bus", true}}}};

PyObject* mit_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> in;
    if (!kMitControl.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    PyObject* bus = bus_argument(in[0]);
    if (bus == nullptr) return nullptr;
    auto* sp = expect_instance<PyMitSetpoint>(in[1], mit_setpoint_type(), "setpoint", "MitSetpoint");
    if (sp == nullptr) return nullptr;
    const damiao::MitSetpoint setpoint = sp->value;
    const auto& d = driver_of(self);
    return state_result(with_bus(bus, [&](CanTransport& t) { return d.mit_control(t, setpoint); }));
}

PyObject* control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> in;
    if (!kControl.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    PyObject* bus = bus_argument(in[0]);
    if (bus == nullptr) return nullptr;
    auto* sp = expect_instance<PyControlSetpoint>(in[1], control_setpoint_type(), "setpoint",
                                                  "ControlSetpoint");
    if (sp == nullptr) return nullptr;
    const damiao::ControlSetpoint setpoint = sp->value;
    const auto& d = driver_of(self);
    return state_result(with_bus(bus, [&](CanTransport& t) { return d.control(t, setpoint); }));
}

PyObject* ensure_mit_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    std::array<PyObject*, 1> in;
    if (!kEnsureMitMode.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    PyObject* bus = bus_argument(in[0]);
    if (bus == nullptr) return nullptr;
    const auto& d = driver_of(self);
    const auto mit = static_cast<std::uint8_t>(damiao::ControlMode::Mit);
    auto r = with_bus(bus, [&](CanTransport& t) { return d.ensure_control_mode(t, mit); });
    if (!r) return nullptr;
    if (!*r) return raise_driver_error(r->error());
    Py_RETURN_NONE;
}

PyObject* repr(PyObject* self) {
    const auto& d = driver_of(self);
    return PyUnicode_FromFormat("Damiao(motor_id=0x%x, master_id=0x%x)",
                                static_cast<unsigned>(d.motor_id()),
                                static_cast<unsigned>(d.master_id()));
}

constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef methods[] = {
    {"enable", fastcall(special<kEnable, &damiao::Damiao::enable>), kMethod,
     "enable($self, bus)\n--\n\n"},
    {"disable", fastcall(special<kDisable, &damiao::Damiao::disable>), kMethod,
     "disable($self, bus)\n--\n\n"},
    {"set_zero", fastcall(special<kSetZero, &damiao::Damiao::set_zero>), kMethod,
     "set_zero($self, bus)\n--\n\n"},
    {"clear_error", fastcall(special<kClearError, &damiao::Damiao::clear_error>), kMethod,
     "clear_error($self, bus)\n--\n\n"},
    {"mit_control", fastcall(mit_control), kMethod, "mit_control($self, bus, setpoint)\n--\n\n"},
    {"control", fastcall(control), kMethod,
     "control($self, bus, setpoint)\n--\n\n"
     "Unified send: dispatches to MIT / POS_VEL / VEL / FORCE_POS based on\n"
     "the `ControlSetpoint` variant. The motor must already be in the\n"
     "matching control mode (use `ensure_mit_mode()` or write register 10)."},
    {"ensure_mit_mode", fastcall(ensure_mit_mode), kMethod,
     "ensure_mit_mode($self, bus)\n--\n\n"
     "Force the firmware into MIT control mode (register 10 = 1). Some\n"
     "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
     "silently ignored."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_motor_id(PyObject* self, void*) { return PyLong_FromLong(driver_of(self).motor_id()); }
PyObject* get_master_id(PyObject* self, void*) {
    return PyLong_FromLong(driver_of(self).master_id());
}

PyGetSetDef getset[] = {
    {"motor_id", get_motor_id, nullptr, nullptr, nullptr},
    {"master_id", get_master_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Damiao(motor_id, master_id, limits=None, timeout_ms=20)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyDamiao>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin.Damiao", sizeof(PyDamiao), 0, kTypeFlags, slots};

}  // namespace

PyTypeObject* damiao_type() { return cached_type<&spec, construct>(); }

}  // namespace velkarin::python
