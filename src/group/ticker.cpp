// Ticker: the clock of a control loop. Period boundaries are counted from
// the ticker's creation on the monotonic clock (absolute deadlines, no
// drift); wait() sleeps to the next one with the interpreter lock released.
#include <Python.h>
#include <structmember.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <climits>
#include <cstdint>
#include <new>

#include "damiao/cycle.hpp"
#include "group/group.hpp"
#include "group/stats.hpp"
#include "transport/duration.hpp"
#include "python/args.hpp"
#include "python/heap_type.hpp"

namespace velkarin::group {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC on Linux

struct PyTicker {
    PyObject_HEAD
    double rate_hz;
    std::int64_t period_ns;
    Clock::time_point start;
    std::uint64_t last;      // the boundary the previous wait returned at (0: creation)
    std::uint64_t overruns;  // boundaries passed without a wait, in total
    std::uint64_t waits;
    damiao::LatencyWindow lateness;  // how long after its boundary each wait returned
};

// A period of at least 1 ns and at most about a century: anything outside
// cannot be slept to (and would not survive the conversion to nanoseconds).
constexpr double kMinPeriodNs = 1.0;
constexpr double kMaxPeriodNs = 3.0e18;

constinit python::Signature<1> kConstructor{"Ticker()", {{{"rate_hz", true}}}};

PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 1> in;
    if (!kConstructor.parse(args, nargsf, kwnames, in)) return nullptr;
    const double rate = PyFloat_AsDouble(in[0]);
    if (rate == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "rate_hz must be a number, got '%s'",
                         Py_TYPE(in[0])->tp_name);
        }
        return nullptr;
    }
    // Checked before any conversion to an integer count of nanoseconds.
    const double period = 1e9 / rate;
    if (!std::isfinite(rate) || !(rate > 0.0) || !(period >= kMinPeriodNs) ||
        !(period <= kMaxPeriodNs)) {
        PyErr_Format(PyExc_ValueError,
                     "rate_hz must be positive and finite (a period from 1 ns to 95 years), got %R",
                     in[0]);
        return nullptr;
    }
    auto* obj = python::alloc_object<PyTicker>(reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) return nullptr;
    obj->rate_hz = rate;
    obj->period_ns = static_cast<std::int64_t>(std::llround(period));
    obj->start = Clock::now();
    obj->last = 0;
    obj->overruns = 0;
    obj->waits = 0;
    new (&obj->lateness) damiao::LatencyWindow();
    return reinterpret_cast<PyObject*>(obj);
}

// Sleeps to the next boundary strictly after now. A signal wakes the sleep:
// the interpreter's handlers run, and unless one raises, the sleep goes on
// to the same boundary. Missed boundaries are counted against the latest
// boundary any wait has taken: two threads sharing a ticker, or a handler's
// wait inside the wait it interrupted, may take the same boundary, and
// neither then counts a miss (with the interpreter lock held, the count is
// taken by one wait at a time).
PyObject* wait(PyObject* self_obj, PyObject*) {
    auto* self = reinterpret_cast<PyTicker*>(self_obj);
    const auto since =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - self->start).count();
    const auto next = static_cast<std::uint64_t>(since / self->period_ns) + 1;
    const std::uint64_t missed = next > self->last ? next - self->last - 1 : 0;
    self->last = std::max(self->last, next);
    self->overruns += missed;
    const auto boundary = std::chrono::nanoseconds(static_cast<std::int64_t>(next) * self->period_ns);
    const Clock::time_point due = self->start + boundary;
    const timespec until = transport::timespec_at(due);
    for (;;) {
        int rc = 0;
        Py_BEGIN_ALLOW_THREADS
        rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        Py_END_ALLOW_THREADS
        if (rc == 0) {
            // One clock reading more per wait: how late the loop gets its turn.
            const auto late = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - due).count();
            self->lateness.add(static_cast<std::uint32_t>(std::clamp<std::int64_t>(late, 0, UINT32_MAX)));
            ++self->waits;
            break;
        }
        if (rc != EINTR) {
            errno = rc;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        if (PyErr_CheckSignals() != 0) return nullptr;
    }
    return PyLong_FromUnsignedLongLong(missed);
}

PyObject* stats(PyObject* self_obj, PyObject*) {
    auto* self = reinterpret_cast<PyTicker*>(self_obj);
    return ticker_stats_object(self->waits, self->overruns, self->lateness.summary());
}

PyObject* repr(PyObject* self) {
    PyObject* rate = PyFloat_FromDouble(reinterpret_cast<PyTicker*>(self)->rate_hz);
    if (rate == nullptr) return nullptr;
    PyObject* out = PyUnicode_FromFormat("Ticker(rate_hz=%R)", rate);
    Py_DECREF(rate);
    return out;
}

PyMethodDef methods[] = {
    {"wait", wait, METH_NOARGS,
     "wait($self)\n--\n\n"
     "Sleep until the next period boundary; return how many boundaries\n"
     "passed since the previous wait without being waited for (0 on time)."},
    {"stats", stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "A TickerStats: waits, overruns, and how long after its boundary each of the\n"
     "latest waits returned (median, 99th percentile, largest)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"rate_hz", T_DOUBLE, offsetof(PyTicker, rate_hz), READONLY, nullptr},
    {"overruns", T_ULONGLONG, offsetof(PyTicker, overruns), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Ticker(rate_hz)\n--\n\n"
                       "Period boundaries from now on at rate_hz, on the monotonic clock.")},
    {Py_tp_new, reinterpret_cast<void*>(python::new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(python::dealloc_object<PyTicker>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin_group.Ticker", sizeof(PyTicker), 0, python::kTypeFlags, slots};

}  // namespace

PyTypeObject* ticker_type() { return python::cached_type<&spec, construct>(); }

}  // namespace velkarin::group
