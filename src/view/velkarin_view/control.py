"""One motor's control as the loop holds it: its mode, whether the page enabled it, the setpoint
fields of each mode, the signal generator, and from these the frame of each round and the
targets the page plots against the feedback."""

from __future__ import annotations

import dataclasses

import velkarin

from velkarin_view.messages import MAIN_FIELD, field_bounds
from velkarin_view.motors import Limits
from velkarin_view.signals import Signal

Targets = tuple[float | None, float | None, float | None]  # position, velocity, torque
NO_TARGETS: Targets = (None, None, None)


def _clamp(x: float, lo: float, hi: float) -> float:
    return min(max(x, lo), hi)


@dataclasses.dataclass
class MotorControl:
    limits: Limits
    mode: str | None
    enabled: bool = False
    signal: Signal | None = None
    fields: dict[str, dict[str, float]] = dataclasses.field(default_factory=dict)

    def __post_init__(self) -> None:
        for mode in MAIN_FIELD:
            self.fields.setdefault(mode, {name: 0.0 for name in field_bounds(mode, self.limits)})

    def hold(self, position: float) -> None:
        """Targets that keep the motor where it is: at enable, so that nothing jumps."""
        mit = self.fields["mit"]
        mit.update(q=_clamp(position, -self.limits.p_max, self.limits.p_max), dq=0.0, tau=0.0)
        self.fields["pos_vel"]["position"] = mit["q"]
        self.fields["force_pos"]["position"] = mit["q"]
        self.fields["vel"]["velocity"] = 0.0
        self.signal = None

    def frame(self, t: float, last: velkarin.MotorState | None) -> tuple[velkarin.ControlSetpoint, Targets]:
        """This round's setpoint and the targets it stands for. A disabled motor gets a frame
        that would command nothing (no gains, no torque, no speed) should it be enabled after
        all, and no targets."""
        if not self.enabled or self.mode is None:
            return self._idle(last), NO_TARGETS
        f = dict(self.fields[self.mode])
        rate = 0.0
        if self.signal is not None:
            f[MAIN_FIELD[self.mode]], rate = self.signal.at(t)
        if self.mode == "mit":
            if self.signal is not None and self.signal.shape == "sine":
                f["dq"] = _clamp(rate, -self.limits.v_max, self.limits.v_max)
            sp = velkarin.MitSetpoint(q=f["q"], dq=f["dq"], kp=f["kp"], kd=f["kd"], tau=f["tau"])
            torque = None
            if last is not None:  # what the MIT law asks for at the last measured state
                law = f["kp"] * (f["q"] - last.position) + f["kd"] * (f["dq"] - last.velocity) + f["tau"]
                torque = _clamp(law, -self.limits.t_max, self.limits.t_max)
            return velkarin.ControlSetpoint.mit(sp), (f["q"], f["dq"], torque)
        if self.mode == "pos_vel":
            return velkarin.ControlSetpoint.pos_vel(f["position"], f["velocity"]), (f["position"], None, None)
        if self.mode == "vel":
            return velkarin.ControlSetpoint.vel(f["velocity"]), (None, f["velocity"], None)
        return (velkarin.ControlSetpoint.force_pos(f["position"], f["velocity_limit"], f["torque_ratio"]),
                (f["position"], None, None))

    def _idle(self, last: velkarin.MotorState | None) -> velkarin.ControlSetpoint:
        here = last.position if last is not None else 0.0
        if self.mode == "pos_vel":
            return velkarin.ControlSetpoint.pos_vel(here, 0.0)
        if self.mode == "vel":
            return velkarin.ControlSetpoint.vel(0.0)
        if self.mode == "force_pos":
            return velkarin.ControlSetpoint.force_pos(here, 0.0, 0.0)
        return velkarin.ControlSetpoint.mit(velkarin.MitSetpoint())

    def as_json(self) -> dict[str, object]:
        return {"mode": self.mode, "enabled": self.enabled, "fields": self.fields,
                "signal": self.signal.as_json() if self.signal else None}
