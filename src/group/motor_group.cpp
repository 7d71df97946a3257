// MotorGroup: (bus, motor) pairs commanded together in rounds. Each method
// parses its setpoints into the core's commands, runs exactly one round of
// the core's MotorGroup with the interpreter lock released, and turns the
// outcomes into a list of MotorState or a GroupError.
#include <Python.h>

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "damiao/cycle.hpp"
#include "group/group.hpp"
#include "group/outcomes.hpp"
#include "group/round.hpp"
#include "group/stats.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/py_ref.hpp"
#include "python/types.hpp"

namespace velkarin::group {
namespace {

using damiao::Command;
using python::PyRef;

// What a group keeps between rounds: the core's group (its tables sized
// once), the commands and outcomes of a round, and the round in progress.
struct State {
    State(damiao::MotorGroup c, BusLocks l, std::vector<transport::BusWatch> w, std::vector<Command> cs,
          std::vector<damiao::Result<damiao::MotorState>> os)
        : core(std::move(c)), locks(std::move(l)), watches(std::move(w)), commands(std::move(cs)),
          outcomes(std::move(os)) {}

    damiao::MotorGroup core;
    BusLocks locks;
    std::vector<transport::BusWatch> watches;  // per bus, in first-appearance order
    std::vector<Command> commands;
    std::vector<damiao::Result<damiao::MotorState>> outcomes;
    python::ObjectLock round_lock;                // one round of this group at a time
    std::atomic<unsigned long> round_thread{0};   // the thread in a round, 0 if none
};

struct PyMotorGroup {
    PyObject_HEAD
    PyObject* members;  // tuple of (bus, motor) tuples: keeps them alive
    bool fd;
    std::unique_ptr<State> state;
};

PyMotorGroup* self_of(PyObject* o) { return reinterpret_cast<PyMotorGroup*>(o); }

const python::PyDamiao* motor_at(PyObject* members, Py_ssize_t i) {
    return reinterpret_cast<python::PyDamiao*>(PyTuple_GET_ITEM(PyTuple_GET_ITEM(members, i), 1));
}
python::PySocketCanTransport* bus_at(PyObject* members, Py_ssize_t i) {
    return reinterpret_cast<python::PySocketCanTransport*>(
        PyTuple_GET_ITEM(PyTuple_GET_ITEM(members, i), 0));
}

// ---- construction -----------------------------------------------------------

constinit python::Signature<2> kConstructor{"MotorGroup()", {{{"members", true}, {"fd", false}}}, 1};

// members[i] as a (bus, motor) tuple of velkarin's classes; nullptr with
// TypeError naming the index otherwise.
PyObject* member_pair(PyObject* item, Py_ssize_t i) {
    const auto& types = velkarin_types();
    if ((PyTuple_Check(item) || PyList_Check(item)) && PySequence_Size(item) == 2) {
        PyRef bus = PyRef::steal(PySequence_GetItem(item, 0));
        PyRef motor = PyRef::steal(PySequence_GetItem(item, 1));
        if (!bus || !motor) return nullptr;
        if (Py_TYPE(bus.get()) == types.bus && Py_TYPE(motor.get()) == types.motor)
            return PyTuple_Pack(2, bus.get(), motor.get());
    }
    PyErr_Format(PyExc_TypeError,
                 "members[%zd] must be a (SocketCanTransport, Damiao) pair, got %R", i, item);
    return nullptr;
}

// ValueError naming the two members that answer on one identifier of one bus.
void duplicate_reply_error(PyObject* members, const damiao::errors::DuplicateMasterId& d) {
    const auto first = static_cast<Py_ssize_t>(d.first), second = static_cast<Py_ssize_t>(d.second);
    PyErr_Format(PyExc_ValueError,
                 "members %zd and %zd (motors 0x%x and 0x%x) are on one bus and both answer on "
                 "0x%03x: their replies cannot be told apart",
                 first, second, static_cast<unsigned>(motor_at(members, first)->driver.motor_id()),
                 static_cast<unsigned>(motor_at(members, second)->driver.motor_id()),
                 static_cast<unsigned>(d.id));
}

PyObject* build(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 2> in;
    if (!kConstructor.parse(args, nargsf, kwnames, in)) return nullptr;
    const bool fd = in[1] != nullptr && PyObject_IsTrue(in[1]);
    if (PyErr_Occurred()) return nullptr;

    PyRef given = PyRef::steal(PySequence_Fast(in[0], "members must be a sequence of (bus, motor) pairs"));
    if (!given) return nullptr;
    // A strong copy of the items before any is looked at: a member's own
    // __len__ or __getitem__ may change or empty the sequence it came from.
    PyRef seq = PyList_Check(given.get()) ? PyRef::steal(PyList_AsTuple(given.get())) : std::move(given);
    if (!seq) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "a MotorGroup needs at least one member");
        return nullptr;
    }
    PyRef members = PyRef::steal(PyTuple_New(n));
    if (!members) return nullptr;
    std::vector<damiao::MotorGroup::Member> core_members;
    std::vector<python::PySocketCanTransport*> buses;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = member_pair(PyTuple_GET_ITEM(seq.get(), i), i);
        if (pair == nullptr) return nullptr;
        PyTuple_SET_ITEM(members.get(), i, pair);
        core_members.push_back({&bus_at(members.get(), i)->transport, &motor_at(members.get(), i)->driver});
        buses.push_back(bus_at(members.get(), i));
    }
    auto core = damiao::MotorGroup::create(core_members);
    if (!core) {
        if (const auto* d = core.error().as<damiao::errors::DuplicateMasterId>())
            duplicate_reply_error(members.get(), *d);
        else
            python::value_err_to_py(core.error());
        return nullptr;
    }

    const auto count = static_cast<std::size_t>(n);
    std::vector<transport::BusWatch> watches;
    std::vector<python::PySocketCanTransport*> watched;
    for (auto* bus : buses)
        if (std::ranges::find(watched, bus) == watched.end()) {
            watched.push_back(bus);
            watches.emplace_back(bus->transport.fd());
        }
    auto state = std::make_unique<State>(std::move(*core), BusLocks(std::move(buses)), std::move(watches),
                                         std::vector<Command>(count),
                                         std::vector<damiao::Result<damiao::MotorState>>(count));
    auto* obj = python::alloc_object<PyMotorGroup>(reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) return nullptr;
    obj->members = members.release();
    obj->fd = fd;
    new (&obj->state) std::unique_ptr<State>(std::move(state));
    return reinterpret_cast<PyObject*>(obj);
}

// The C++ allocations of a construction (tables, vectors) fail as MemoryError.
PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    try {
        return build(type, args, nargsf, kwnames);
    } catch (const std::exception& e) {
        return python::raise_cpp_exception(e);
    }
}

void destroy(PyMotorGroup* self) {
    self->state.~unique_ptr<State>();
    Py_CLEAR(self->members);
}

// ---- rounds -------------------------------------------------------------------


// One round of `commands` over `core`. Returns false with an exception set
// when a signal handler raised (while the round waited for its bus locks:
// then nothing was sent) or the round failed internally.
bool run_round(damiao::MotorGroup& core, BusLocks& locks, const std::vector<Command>& commands,
               std::vector<damiao::Result<damiao::MotorState>>& outcomes, bool fd) {
    const auto format = fd ? damiao::FrameFormat::Fd : damiao::FrameFormat::Classic;
    std::optional<std::string> fault;
    {
        RoundScope round(locks);
        if (!round.started()) return false;
        try {
            (void)core.run(commands, outcomes, format, round.signal_handler());
        } catch (const std::exception& e) {
            fault = e.what();
        }
    }
    if (PyErr_Occurred()) return false;  // a signal handler raised: its exception
    if (fault) {
        python::raise_panic(("velkarin_group: internal fault in a round: " + *fault).c_str());
        return false;
    }
    return true;
}

// A round of self's group inside one of its rounds on the same thread (a
// signal handler's, or a finalizer's while the outer round builds its
// results): it runs in tables of its own, never waiting for the round lock
// that this thread holds.
template <typename Fill>
PyObject* nested_round(PyMotorGroup* self, Fill& fill) {
    State& st = *self->state;
    auto nested = damiao::MotorGroup::create(st.core.members());
    if (!nested) return python::value_err_to_py(nested.error());
    BusLocks locks = st.locks;
    std::vector<Command> commands(st.commands.size());
    std::vector<damiao::Result<damiao::MotorState>> outcomes(st.commands.size());
    if (!fill(commands) || !run_round(*nested, locks, commands, outcomes, self->fd)) return nullptr;
    return outcomes_to_python(self->members, outcomes, st.watches);
}

// Fills the commands with `fill` and runs the round in self's state, or,
// when this thread is already inside a round of this group, a nested one.
// `fill` runs no Python code: a round cannot start inside it. It returns
// false with an exception set, and then nothing is sent. The round stays
// marked as this thread's until its results are built, so that Python code
// run meanwhile (a finalizer) never waits for this group's round lock.
template <typename Fill>
PyObject* round_of(PyObject* self_obj, Fill&& fill) {
    auto* self = self_of(self_obj);
    State& st = *self->state;
    PyRef hold = PyRef::borrow(self_obj);  // the group lives for the whole round
    const unsigned long me = PyThread_get_thread_ident();
    try {
        if (st.round_thread == me) return nested_round(self, fill);
        if (!st.round_lock.acquire()) return nullptr;  // a handler raised while it waited
        python::HeldLock held(st.round_lock);
        st.round_thread = me;
        struct Unmark {
            std::atomic<unsigned long>& thread;
            ~Unmark() { thread = 0; }
        } unmark{st.round_thread};
        if (!fill(st.commands)) return nullptr;
        if (!run_round(st.core, st.locks, st.commands, st.outcomes, self->fd)) return nullptr;
        return outcomes_to_python(self->members, st.outcomes, st.watches);
    } catch (abi::__forced_unwind&) {
        hold.abandon();  // the interpreter ends this thread: no interpreter lock to decref with
        throw;
    } catch (const std::exception& e) {
        return python::raise_cpp_exception(e);
    }
}

template <typename Kind>
PyObject* special(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "this method takes no arguments");
        return nullptr;
    }
    return round_of(self, [](std::vector<Command>& commands) {
        for (auto& c : commands) c = Kind{};
        return true;
    });
}

// One setpoint per member, each of velkarin's class `type`, read by `read`.
template <typename Read>
PyObject* setpoint_round(PyObject* self, PyObject* setpoints, const char* method,
                         PyTypeObject* type, const char* class_name, Read&& read) {
    // The one step that may run Python code (a sequence's own iteration),
    // done before the round lock is taken.
    PyRef seq = PyRef::steal(PySequence_Fast(setpoints, "setpoints must be a sequence"));
    if (!seq) return nullptr;
    try {
        return round_of(self, [&](std::vector<Command>& commands) {
            const auto n = static_cast<Py_ssize_t>(commands.size());
            if (PySequence_Fast_GET_SIZE(seq.get()) != n) {
                PyErr_Format(PyExc_ValueError, "%s needs one setpoint per member: %zd, got %zd", method,
                             n, PySequence_Fast_GET_SIZE(seq.get()));
                return false;
            }
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
                if (Py_TYPE(item) != type) {
                    PyErr_Format(PyExc_TypeError,
                                 "setpoints[%zd]: '%s' object cannot be converted to '%s'", i,
                                 Py_TYPE(item)->tp_name, class_name);
                    return false;
                }
            }
            for (Py_ssize_t i = 0; i < n; ++i)
                commands[static_cast<std::size_t>(i)] = read(PySequence_Fast_GET_ITEM(seq.get(), i));
            return true;
        });
    } catch (abi::__forced_unwind&) {
        seq.abandon();
        throw;
    }
}

constinit python::Signature<1> kMitControl{"MotorGroup.mit_control()", {{{"setpoints", true}}}};
constinit python::Signature<1> kControl{"MotorGroup.control()", {{{"setpoints", true}}}};

PyObject* mit_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> in;
    if (!kMitControl.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    return setpoint_round(self, in[0], "mit_control()", velkarin_types().mit_setpoint,
                          "MitSetpoint", [](PyObject* o) -> Command {
                              return reinterpret_cast<python::PyMitSetpoint*>(o)->value;
                          });
}

PyObject* control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> in;
    if (!kControl.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    return setpoint_round(self, in[0], "control()", velkarin_types().control_setpoint,
                          "ControlSetpoint", [](PyObject* o) -> Command {
                              return reinterpret_cast<python::PyControlSetpoint*>(o)->value;
                          });
}

// ---- what the group counted ---------------------------------------------------

// Runs `read` on the counts with no round of another thread in progress: the
// round lock is taken unless this thread is inside a round of the group
// itself (a signal handler's), whose counts hold still meanwhile.
template <typename Read>
PyObject* with_counts(PyObject* self_obj, Read&& read) {
    State& st = *self_of(self_obj)->state;
    try {
        if (st.round_thread == PyThread_get_thread_ident()) return read(st);
        if (!st.round_lock.acquire()) return nullptr;
        python::HeldLock held(st.round_lock);
        return read(st);
    } catch (const std::exception& e) {
        return python::raise_cpp_exception(e);
    }
}

PyObject* stats(PyObject* self, PyObject*) {
    return with_counts(self, [](State& st) -> PyObject* {
        const auto counts = st.core.stats();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(counts.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            PyObject* item = member_stats_object(counts[i], st.core.latency(i));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* reset_stats(PyObject* self, PyObject*) {
    return with_counts(self, [](State& st) -> PyObject* {
        st.core.reset_stats();
        Py_RETURN_NONE;
    });
}

// The buses' watches are only ever used with the interpreter lock held.
PyObject* bus_health(PyObject* self, PyObject*) {
    State& st = *self_of(self)->state;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(st.watches.size())));
    if (!list) return nullptr;
    try {
        for (std::size_t i = 0; i < st.watches.size(); ++i) {
            PyObject* item = bus_health_object(st.watches[i].health());
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
    } catch (const std::exception& e) {
        return python::raise_cpp_exception(e);
    }
    return list.release();
}

// ---- the rest of the class ----------------------------------------------------

Py_ssize_t length(PyObject* self) { return PyTuple_GET_SIZE(self_of(self)->members); }

PyObject* get_members(PyObject* self, void*) { return Py_NewRef(self_of(self)->members); }
PyObject* get_fd(PyObject* self, void*) { return PyBool_FromLong(self_of(self)->fd); }

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("MotorGroup(%zd members%s)", length(self), self_of(self)->fd ? ", fd=True" : "");
}

constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef methods[] = {
    {"mit_control", python::fastcall(mit_control), kMethod,
     "mit_control($self, setpoints)\n--\n\n"
     "One MIT frame per member (setpoints in member order), then every reply:\n"
     "a list of MotorState, or GroupError when any member failed."},
    {"control", python::fastcall(control), kMethod,
     "control($self, setpoints)\n--\n\n"
     "One ControlSetpoint per member, each in its mode's frame."},
    {"enable", python::fastcall(special<damiao::commands::Enable>), kMethod, "enable($self)\n--\n\n"},
    {"disable", python::fastcall(special<damiao::commands::Disable>), kMethod, "disable($self)\n--\n\n"},
    {"set_zero", python::fastcall(special<damiao::commands::SetZero>), kMethod, "set_zero($self)\n--\n\n"},
    {"clear_error", python::fastcall(special<damiao::commands::ClearError>), kMethod,
     "clear_error($self)\n--\n\n"},
    {"stats", stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Per member, in member order, a MemberStats: frames sent, replies answered,\n"
     "time-outs, late replies dropped, send failures, consecutive misses, the last\n"
     "status code and reply latencies, since the group was made or reset_stats()."},
    {"reset_stats", reset_stats, METH_NOARGS, "reset_stats($self)\n--\n\nZeroes every member's counts."},
    {"bus_health", bus_health, METH_NOARGS,
     "bus_health($self)\n--\n\n"
     "Per bus, in the order the members name them, a BusHealth: the interface's\n"
     "state and error counters, and the conditions its error frames reported."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"members", get_members, nullptr, nullptr, nullptr},
    {"fd", get_fd, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "MotorGroup(members, *, fd=False)\n--\n\n"
                    "Motors on one or more buses, commanded together: every frame out,\n"
                    "then one wait over all the buses, the interpreter lock released.\n\n"
                    "A group switches no control mode: that is per motor, with\n"
                    "Damiao.ensure_mit_mode(bus) on each member before MIT rounds. A motor in\n"
                    "another mode answers every frame but does not act on it.")},
    {Py_tp_new, reinterpret_cast<void*>(python::new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(python::dealloc_object<PyMotorGroup, destroy>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin_group.MotorGroup", sizeof(PyMotorGroup), 0, python::kTypeFlags, slots};

}  // namespace

PyTypeObject* motor_group_type() { return python::cached_type<&spec, construct>(); }

}  // namespace velkarin::group
