// realtime(): the calling thread on SCHED_FIFO, pinned to CPUs, with the
// process's memory locked, for a control loop that must not wait behind
// other work. Each step is applied only when asked for; one the system does
// not permit raises PermissionError saying what would permit it.
#include <Python.h>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <array>
#include <cerrno>
#include <vector>

#include "group/group.hpp"
#include "python/args.hpp"
#include "python/heap_type.hpp"
#include "python/py_ref.hpp"

namespace velkarin::group {
namespace {

using python::PyRef;

constinit python::Signature<3> kRealtime{
    "realtime()", {{{"priority", false}, {"cpus", false}, {"lock_memory", false}}}, 0};

PyObject* permission_error(const char* what, const char* fix) {
    PyErr_Format(PyExc_PermissionError, "%s is not permitted: %s", what, fix);
    return nullptr;
}

// The CPUs of `cpus` (an iterable of ints), or false with an exception set.
bool cpu_set_of(PyObject* cpus, cpu_set_t& set, std::vector<long>& listed) {
    PyRef items = PyRef::steal(PySequence_Fast(cpus, "cpus must be an iterable of CPU numbers"));
    if (!items) return false;
    CPU_ZERO(&set);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const long cpu = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (cpu == -1 && PyErr_Occurred()) return false;
        if (cpu < 0 || cpu >= CPU_SETSIZE) {
            PyErr_Format(PyExc_ValueError, "cpus: %ld is not a CPU number", cpu);
            return false;
        }
        CPU_SET(static_cast<int>(cpu), &set);
        listed.push_back(cpu);
    }
    if (listed.empty()) {
        PyErr_SetString(PyExc_ValueError, "cpus: name at least one CPU");
        return false;
    }
    return true;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef v = PyRef::steal(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* realtime(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> in;
    if (!kRealtime.parse(args, static_cast<std::size_t>(nargs), kwnames, in)) return nullptr;
    const bool want_priority = in[0] != nullptr && in[0] != Py_None;
    const bool want_cpus = in[1] != nullptr && in[1] != Py_None;
    const int lock = in[2] != nullptr ? PyObject_IsTrue(in[2]) : 0;
    if (lock < 0) return nullptr;

    // Every argument checked before anything is applied.
    int priority = 0;
    if (want_priority) {
        const long p = PyLong_AsLong(in[0]);
        if (p == -1 && PyErr_Occurred()) return nullptr;
        const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
        if (p < lo || p > hi)
            return PyErr_Format(PyExc_ValueError, "priority must be %d to %d for SCHED_FIFO, got %ld", lo, hi, p);
        priority = static_cast<int>(p);
    }
    cpu_set_t cpus;
    std::vector<long> listed;
    if (want_cpus && !cpu_set_of(in[1], cpus, listed)) return nullptr;

    PyRef applied = PyRef::steal(PyDict_New());
    if (!applied) return nullptr;
    if (want_priority) {
        const sched_param param{priority};
        if (const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param); rc != 0) {
            if (rc == EPERM)
                return permission_error("SCHED_FIFO", "raise the rtprio limit (ulimit -r 99, or a line "
                                                      "'@group - rtprio 99' in /etc/security/limits.conf) "
                                                      "or give the program CAP_SYS_NICE");
            errno = rc;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        if (!set_item(applied.get(), "policy", PyUnicode_FromString("SCHED_FIFO")) ||
            !set_item(applied.get(), "priority", PyLong_FromLong(priority)))
            return nullptr;
    }
    if (want_cpus) {
        if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) {
            if (errno == EINVAL) return PyErr_Format(PyExc_ValueError, "cpus: none of them is online and allowed");
            if (errno == EPERM) return permission_error("pinning to CPUs", "give the program CAP_SYS_NICE");
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const long cpu : listed) {
            PyRef n = PyRef::steal(PyLong_FromLong(cpu));
            if (!n || PyList_Append(list.get(), n.get()) < 0) return nullptr;
        }
        if (!set_item(applied.get(), "cpus", list.release())) return nullptr;
    }
    if (lock) {
        if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
            if (errno == EPERM || errno == ENOMEM)
                return permission_error("locking memory", "raise the memlock limit (ulimit -l unlimited) "
                                                          "or give the program CAP_IPC_LOCK");
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        if (!set_item(applied.get(), "memory_locked", Py_NewRef(Py_True))) return nullptr;
    }
    return applied.release();
}

PyMethodDef realtime_def = {
    "realtime", python::fastcall(realtime), METH_FASTCALL | METH_KEYWORDS,
    "realtime(*, priority=None, cpus=None, lock_memory=False)\n--\n\n"
    "For the calling thread: SCHED_FIFO at `priority`, pinned to `cpus`, and the\n"
    "process's memory locked, each only when asked for. Returns what it applied\n"
    "as a dict; raises PermissionError, naming the limit or capability that would\n"
    "permit it, for a step the system refuses (the steps before it stay applied)."};

}  // namespace

PyMethodDef* realtime_function() { return &realtime_def; }

}  // namespace velkarin::group
