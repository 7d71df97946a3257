"""Joint commands as the node takes them: a JointState by joint name whose position, velocity and
effort are the MIT q, dq and tau, an empty array keeping that field. A message is taken whole or
refused whole (an unknown joint, a value outside the joint's limits, arrays that do not fit the
names), so a refused message never reaches the bus, not even in part. No ROS and no I/O here."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import velkarin

from .config import Joint


@dataclass(frozen=True)
class Command:
    """One joint's MIT command; None is a field never commanded (q then holds, dq and tau are 0)."""

    q: float | None = None
    dq: float | None = None
    tau: float | None = None


@dataclass(frozen=True)
class Gains:
    kp: float
    kd: float


class Refused(ValueError):
    """A command message that is not taken; `joint` is the index of the joint it concerns, or
    None when it names no known joint (an unknown name, arrays that do not fit)."""

    def __init__(self, problem: str, joint: int | None = None) -> None:
        super().__init__(problem)
        self.joint = joint


def merge(joints: Sequence[Joint], index: Mapping[str, int], current: tuple[Command, ...],
          names: Sequence[str], position: Sequence[float], velocity: Sequence[float],
          effort: Sequence[float]) -> tuple[Command, ...]:
    """The commands after one message, or Refused; `index` maps joint names to their place."""
    if not names:
        raise Refused("the message names no joint")
    for field, values in (("position", position), ("velocity", velocity), ("effort", effort)):
        if values and len(values) != len(names):
            raise Refused(f"{field} has {len(values)} values for {len(names)} names")
    updated = list(current)
    taken: set[int] = set()
    for k, name in enumerate(names):
        n = index.get(name)
        if n is None:
            raise Refused(f"unknown joint {name!r}")
        if n in taken:
            raise Refused(f"joint {name!r} is named twice")
        taken.add(n)
        j, old = joints[n], updated[n]
        q = _checked(j, n, "position", position[k], *j.position_limits) if position else old.q
        dq = (_checked(j, n, "velocity", velocity[k], -j.velocity_limit, j.velocity_limit)
              if velocity else old.dq)
        tau = (_checked(j, n, "effort", effort[k], -j.torque_limit, j.torque_limit)
               if effort else old.tau)
        updated[n] = Command(q, dq, tau)
    return tuple(updated)


def _checked(joint: Joint, n: int, field: str, value: float, low: float, high: float) -> float:
    if not (math.isfinite(value) and low <= value <= high):  # NaN fails both comparisons
        raise Refused(f"joint {joint.name!r}: {field} {value:g} is outside [{low:g}, {high:g}]", n)
    return float(value)


def check_gain(joint: Joint, which: str, value: object) -> float:
    """A run-time kp or kd for `joint`, or ValueError: a number from 0 to the motor's kp_max or
    kd_max (the MIT frame cannot carry more; the codec would clamp it silently)."""
    high = joint.limits.kp_max if which == "kp" else joint.limits.kd_max
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{which}.{joint.name} must be a number, got {type(value).__name__}")
    if not (math.isfinite(value) and 0.0 <= value <= high):
        raise ValueError(f"{which}.{joint.name} must be from 0 to {high:g}, got {value:g}")
    return float(value)


def setpoint(command: Command, gains: Gains, hold_q: float | None) -> velkarin.MitSetpoint:
    """The MIT setpoint of a commanded joint. A position never commanded is the joint's hold
    position; a joint whose position is unknown (it never answered) gets no stiffness then."""
    dq = command.dq or 0.0
    tau = command.tau or 0.0
    if command.q is not None:
        return velkarin.MitSetpoint(q=command.q, dq=dq, kp=gains.kp, kd=gains.kd, tau=tau)
    if hold_q is None:
        return velkarin.MitSetpoint(dq=dq, kd=gains.kd, tau=tau)
    return velkarin.MitSetpoint(q=hold_q, dq=dq, kp=gains.kp, kd=gains.kd, tau=tau)


def hold_setpoint(joint: Joint, hold_q: float | None) -> velkarin.MitSetpoint:
    """Holding still at `hold_q` with the joint's hold gains (damping only when it is unknown)."""
    if hold_q is None:
        return velkarin.MitSetpoint(kd=joint.hold_kd)
    return velkarin.MitSetpoint(q=hold_q, kp=joint.hold_kp, kd=joint.hold_kd)
