// What a group and a ticker counted, as read-only named tuples: one per
// member (MemberStats), one per bus (BusHealth), one per ticker (TickerStats).
#include "group/stats.hpp"

#include <array>

#include "python/py_ref.hpp"

namespace velkarin::group {
namespace {

using python::PyRef;

PyStructSequence_Field kMemberFields[] = {
    {"sent", "frames that went out"},
    {"answered", "replies taken"},
    {"timeouts", "rounds that ended without its reply"},
    {"late", "replies after their command's deadline, dropped as such"},
    {"send_failures", "frames the bus refused"},
    {"consecutive_misses", "rounds in a row without a reply, up to now"},
    {"last_status", "the latest reply's status code, or None"},
    {"latency_p50_s", "median reply latency in seconds over the latest replies, or None"},
    {"latency_p99_s", "99th percentile of the same, or None"},
    {"latency_max_s", "the largest of the same, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kMemberDesc = {
    "velkarin_group.MemberStats",
    "One member's counts since the group was made or reset_stats(); latencies run from the\n"
    "end of a round's sends to the reply's arrival at the host.",
    kMemberFields, 10};

PyStructSequence_Field kBusFields[] = {
    {"iface", "the interface's name"},
    {"state", "error-active, error-warning, error-passive, bus-off, stopped, or unknown"},
    {"tx_errors", "the controller's transmit error counter, or None"},
    {"rx_errors", "the controller's receive error counter, or None"},
    {"restarts", "recoveries from bus-off, or None"},
    {"error_frames", "condition name -> error frames reporting it since the group was made"},
    {"last_error", "what the latest condition means and what to check, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kBusDesc = {"velkarin_group.BusHealth",
                                  "One bus as its interface and its error frames report it.",
                                  kBusFields, 7};

PyStructSequence_Field kTickerFields[] = {
    {"waits", "wait() calls"},
    {"overruns", "boundaries passed without a wait"},
    {"lateness_p50_s", "median time after its boundary a wait returned, over the latest waits, or None"},
    {"lateness_p99_s", "99th percentile of the same, or None"},
    {"lateness_max_s", "the largest of the same, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTickerDesc = {"velkarin_group.TickerStats",
                                     "A ticker's waits and how late they returned.", kTickerFields, 5};

template <PyStructSequence_Desc* Desc>
PyTypeObject* cached_struct_type() {
    static PyTypeObject* type = nullptr;  // process-lifetime, as the module's other types
    if (type == nullptr) type = PyStructSequence_NewType(Desc);
    return type;
}

PyObject* optional_int(const auto& v) { return v ? PyLong_FromUnsignedLongLong(*v) : Py_NewRef(Py_None); }
PyObject* optional_float(const std::optional<double>& v) { return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None); }

// Fills `type`'s fields from `items` (new references, or nullptr on failure).
template <std::size_t N>
PyObject* struct_of(PyTypeObject* type, std::array<PyObject*, N> items) {
    PyRef out = PyRef::steal(type != nullptr ? PyStructSequence_New(type) : nullptr);
    for (std::size_t i = 0; i < N; ++i) {
        if (out && items[i] != nullptr) {
            PyStructSequence_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), items[i]);
            continue;
        }
        Py_XDECREF(items[i]);
        out = PyRef();
    }
    return out.release();
}

std::optional<double> field(const std::optional<damiao::LatencyWindow::Summary>& s, double damiao::LatencyWindow::Summary::*f) {
    if (!s) return std::nullopt;
    return (*s).*f;
}

}  // namespace

PyTypeObject* member_stats_type() { return cached_struct_type<&kMemberDesc>(); }
PyTypeObject* bus_health_type() { return cached_struct_type<&kBusDesc>(); }
PyTypeObject* ticker_stats_type() { return cached_struct_type<&kTickerDesc>(); }

PyObject* member_stats_object(const damiao::MemberStats& s, const damiao::LatencyWindow& latency) {
    using Summary = damiao::LatencyWindow::Summary;
    const auto l = latency.summary();
    return struct_of<10>(member_stats_type(),
                         {PyLong_FromUnsignedLongLong(s.sent), PyLong_FromUnsignedLongLong(s.answered),
                          PyLong_FromUnsignedLongLong(s.timeouts), PyLong_FromUnsignedLongLong(s.late),
                          PyLong_FromUnsignedLongLong(s.send_failures),
                          PyLong_FromUnsignedLongLong(s.consecutive_misses), optional_int(s.last_status),
                          optional_float(field(l, &Summary::p50_s)), optional_float(field(l, &Summary::p99_s)),
                          optional_float(field(l, &Summary::max_s))});
}

PyObject* bus_health_object(const transport::BusHealth& h) {
    PyRef frames = PyRef::steal(PyDict_New());
    if (!frames) return nullptr;
    for (std::size_t i = 0; i < transport::kBusConditions; ++i) {
        if (h.conditions.counts[i] == 0) continue;
        const auto name = transport::name_of(static_cast<transport::BusCondition>(i));
        PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(h.conditions.counts[i]));
        if (!count || PyDict_SetItemString(frames.get(), std::string(name).c_str(), count.get()) < 0)
            return nullptr;
    }
    PyObject* last = Py_NewRef(Py_None);
    if (h.conditions.last) {
        Py_DECREF(last);
        const auto text = transport::advice_for(*h.conditions.last);
        last = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    return struct_of<7>(bus_health_type(),
                        {PyUnicode_FromString(h.iface.c_str()), PyUnicode_FromString(h.state.c_str()),
                         optional_int(h.tx_errors), optional_int(h.rx_errors), optional_int(h.restarts),
                         frames.release(), last});
}

PyObject* ticker_stats_object(std::uint64_t waits, std::uint64_t overruns,
                              const std::optional<damiao::LatencyWindow::Summary>& lateness) {
    using Summary = damiao::LatencyWindow::Summary;
    return struct_of<5>(ticker_stats_type(),
                        {PyLong_FromUnsignedLongLong(waits), PyLong_FromUnsignedLongLong(overruns),
                         optional_float(field(lateness, &Summary::p50_s)),
                         optional_float(field(lateness, &Summary::p99_s)),
                         optional_float(field(lateness, &Summary::max_s))});
}

}  // namespace velkarin::group
