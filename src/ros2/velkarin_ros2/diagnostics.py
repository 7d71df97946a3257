"""What the node reports on `diagnostics`, as plain values: one status per joint from its latest
outcome, one per bus with its failed members, and one for the loop. No ROS here: the node turns
each Status into a diagnostic_msgs/DiagnosticStatus."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import velkarin

from .config import Config
from .loop import HEALTHY_STATUS, Report

OK, WARN, ERROR = 0, 1, 2  # diagnostic_msgs/DiagnosticStatus levels

# The motor's status codes (the high nibble of a reply's first byte), named as velkarin-tool does.
STATUS_NAMES = {
    0x0: "disabled", 0x1: "enabled", 0x8: "over-voltage", 0x9: "under-voltage",
    0xA: "over-current", 0xB: "mosfet-over-temperature", 0xC: "rotor-over-temperature",
    0xD: "lost-communication", 0xE: "overload",
}


@dataclass(frozen=True)
class Status:
    level: int
    name: str
    message: str
    hardware_id: str
    values: tuple[tuple[str, str], ...]


def statuses(config: Config, report: Report | None, refused: Sequence[int],
             refused_elsewhere: int) -> list[Status]:
    """The statuses of one diagnostics message. `refused` counts the commands refused per joint
    (a value outside its limits), `refused_elsewhere` those that named no joint of ours."""
    outcomes = report.outcomes if report is not None else [None] * len(config.joints)
    out: list[Status] = []
    failed_on = {bus: 0 for bus in config.buses}
    for j, o, refusals in zip(config.joints, outcomes, refused):
        values = [("bus", j.bus), ("motor_id", f"{j.motor_id:#x}"), ("master_id", f"{j.master_id:#x}"),
                  ("commands refused", str(refusals))]
        if o is None:
            level, message = WARN, "no round yet"
        elif isinstance(o, RuntimeError):
            failed_on[j.bus] += 1
            level, message = ERROR, str(o)
        else:
            assert isinstance(o, velkarin.MotorState)
            name = STATUS_NAMES.get(o.error, f"status {o.error:#x}")
            level, message = (OK, name) if o.error in HEALTHY_STATUS else (ERROR, f"motor fault: {name}")
            values += [("status", f"{o.error:#x}"), ("t_mos", f"{o.t_mos:g}"),
                       ("t_rotor", f"{o.t_rotor:g}")]
        out.append(Status(level, f"{config.node_name}: joint {j.name}", message,
                          f"{j.bus}/{j.motor_id:#x}", tuple(values)))
    for bus, failed in failed_on.items():
        members = sum(j.bus == bus for j in config.joints)
        out.append(Status(ERROR if failed else OK, f"{config.node_name}: bus {bus}",
                          f"{failed} of {members} motors failed" if failed else "every motor answers",
                          bus, (("members", str(members)), ("failed members", str(failed)))))
    loop = [("rate_hz", f"{config.rate_hz:g}"), ("commands refused, no such joint", str(refused_elsewhere))]
    if report is not None:
        loop += [("ticks", str(report.ticks)), ("missed ticks", str(report.missed)),
                 ("rounds with a failed member", str(report.failed_rounds)),
                 ("elapsed_s", f"{report.elapsed:.3f}"),
                 ("achieved rate_hz", f"{report.ticks / report.elapsed:.1f}" if report.elapsed else "0"),
                 ("mode", report.mode)]
    out.append(Status(OK, f"{config.node_name}: loop", "running" if report else "starting",
                      config.node_name, tuple(loop)))
    return out
