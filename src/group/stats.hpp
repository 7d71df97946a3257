// The counts of velkarin_group's objects as Python sees them: named tuples
// MemberStats, BusHealth and TickerStats.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "damiao/cycle.hpp"
#include "transport/bus_watch.hpp"

namespace velkarin::group {

// The types, created on first use; nullptr with an exception set if that failed.
PyTypeObject* member_stats_type();
PyTypeObject* bus_health_type();
PyTypeObject* ticker_stats_type();

// New objects, or nullptr with an exception set.
PyObject* member_stats_object(const damiao::MemberStats& s, const damiao::LatencyWindow& latency);
PyObject* bus_health_object(const transport::BusHealth& h);
PyObject* ticker_stats_object(std::uint64_t waits, std::uint64_t overruns,
                              const std::optional<damiao::LatencyWindow::Summary>& lateness);

}  // namespace velkarin::group
