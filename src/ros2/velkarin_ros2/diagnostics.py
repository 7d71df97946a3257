"""What the node reports on `diagnostics`, as plain values: one status per joint from its latest
outcome and the group's counts for it, one per bus with its failed members and the interface's
health, and one for the loop. No ROS here: the node turns each Status into a
diagnostic_msgs/DiagnosticStatus.

Levels: a joint is ERROR in a motor fault, when its latest round failed, or when it missed
SILENT_AFTER replies in a row; WARN when it timed out or answered late since the previous
message. A bus is ERROR when a member failed or the controller is bus-off or stopped, WARN when
it is error-warning or error-passive or its error frames reported something new."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import velkarin
from velkarin_group import BusHealth, MemberStats, status_name

from .config import Config
from .loop import HEALTHY_STATUS, Health, Report

OK, WARN, ERROR = 0, 1, 2  # diagnostic_msgs/DiagnosticStatus levels
SILENT_AFTER = 3  # replies missed in a row that make a joint silent
BUS_ERROR_STATES = ("bus-off", "stopped")
BUS_WARN_STATES = ("error-warning", "error-passive")


@dataclass(frozen=True)
class Status:
    level: int
    name: str
    message: str
    hardware_id: str
    values: tuple[tuple[str, str], ...]


def named(code: int) -> str:
    return status_name(code) or f"status {code:#x}"


def _ms(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:.3f}"


def _counts(stats: MemberStats) -> list[tuple[str, str]]:
    return [("sent", str(stats.sent)), ("answered", str(stats.answered)),
            ("timeouts", str(stats.timeouts)), ("late replies", str(stats.late)),
            ("send failures", str(stats.send_failures)),
            ("consecutive misses", str(stats.consecutive_misses)),
            ("latency p50 ms", _ms(stats.latency_p50_s)), ("latency p99 ms", _ms(stats.latency_p99_s)),
            ("latency max ms", _ms(stats.latency_max_s))]


def _joint_level(outcome: object, stats: MemberStats | None,
                 before: MemberStats | None) -> tuple[int, str]:
    if outcome is None:
        return WARN, "no round yet"
    if isinstance(outcome, RuntimeError):
        return ERROR, str(outcome)
    assert isinstance(outcome, velkarin.MotorState)
    if outcome.error not in HEALTHY_STATUS:
        return ERROR, f"motor fault: {named(outcome.error)}"
    if stats is not None and stats.consecutive_misses >= SILENT_AFTER:
        return ERROR, f"silent: {stats.consecutive_misses} replies missed in a row"
    if stats is not None and before is not None:
        timeouts, late = stats.timeouts - before.timeouts, stats.late - before.late
        if timeouts > 0 or late > 0:
            return WARN, f"{named(outcome.error)}; since the last report {timeouts} time-outs, {late} late replies"
    return OK, named(outcome.error)


def _bus_level(failed: int, members: int, health: BusHealth | None,
               before: BusHealth | None) -> tuple[int, str]:
    if failed:
        return ERROR, f"{failed} of {members} motors failed"
    if health is not None:
        if health.state in BUS_ERROR_STATES:
            return ERROR, f"controller {health.state}"
        if health.state in BUS_WARN_STATES:
            return WARN, f"controller {health.state}"
        if before is not None and health.error_frames != before.error_frames:
            return WARN, f"error frames: {health.last_error}"
    return OK, "every motor answers"


def _bus_values(health: BusHealth) -> list[tuple[str, str]]:
    def shown(n: int | None) -> str:
        return "-" if n is None else str(n)
    values = [("state", health.state), ("tx errors", shown(health.tx_errors)),
              ("rx errors", shown(health.rx_errors)), ("restarts", shown(health.restarts)),
              ("last error", health.last_error or "-")]
    return values + [(f"error frames {condition}", str(n)) for condition, n in sorted(health.error_frames.items())]


def statuses(config: Config, report: Report | None, refused: Sequence[int], refused_elsewhere: int,
             previous: Health | None = None) -> list[Status]:
    """The statuses of one diagnostics message. `refused` counts the commands refused per joint
    (a value outside its limits), `refused_elsewhere` those that named no joint of ours;
    `previous` is the health the message before this one showed, for what is new since."""
    outcomes = report.outcomes if report is not None else [None] * len(config.joints)
    health = report.health if report is not None else None
    out: list[Status] = []
    failed_on = {bus: 0 for bus in config.buses}
    for n, (j, o, refusals) in enumerate(zip(config.joints, outcomes, refused)):
        stats = health.members[n] if health is not None else None
        level, message = _joint_level(o, stats, previous.members[n] if previous is not None else None)
        failed_on[j.bus] += isinstance(o, RuntimeError)
        values = [("bus", j.bus), ("motor_id", f"{j.motor_id:#x}"), ("master_id", f"{j.master_id:#x}"),
                  ("commands refused", str(refusals))]
        if isinstance(o, velkarin.MotorState):
            values += [("status", f"{o.error:#x}"), ("t_mos", f"{o.t_mos:g}"), ("t_rotor", f"{o.t_rotor:g}")]
        if stats is not None:
            values += _counts(stats)
        out.append(Status(level, f"{config.node_name}: joint {j.name}", message,
                          f"{j.bus}/{j.motor_id:#x}", tuple(values)))
    buses = {h.iface: h for h in health.buses} if health is not None else {}
    buses_before = {h.iface: h for h in previous.buses} if previous is not None else {}
    for bus, failed in failed_on.items():
        members = sum(j.bus == bus for j in config.joints)
        level, message = _bus_level(failed, members, buses.get(bus), buses_before.get(bus))
        values = [("members", str(members)), ("failed members", str(failed))]
        if bus in buses:
            values += _bus_values(buses[bus])
        out.append(Status(level, f"{config.node_name}: bus {bus}", message, bus, tuple(values)))
    loop = [("rate_hz", f"{config.rate_hz:g}"), ("commands refused, no such joint", str(refused_elsewhere))]
    if report is not None:
        loop += [("ticks", str(report.ticks)), ("missed ticks", str(report.missed)),
                 ("rounds with a failed member", str(report.failed_rounds)),
                 ("elapsed_s", f"{report.elapsed:.3f}"),
                 ("achieved rate_hz", f"{report.ticks / report.elapsed:.1f}" if report.elapsed else "0"),
                 ("mode", report.mode)]
    if health is not None:
        t = health.ticker
        loop += [("lateness p50 ms", _ms(t.lateness_p50_s)), ("lateness p99 ms", _ms(t.lateness_p99_s)),
                 ("lateness max ms", _ms(t.lateness_max_s))]
    out.append(Status(OK, f"{config.node_name}: loop", "running" if report else "starting",
                      config.node_name, tuple(loop)))
    return out
