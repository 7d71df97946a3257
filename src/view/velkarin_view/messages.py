"""What a page may ask of the view, checked before anything reaches a motor: the message's type
and fields, the motor it names, and every value against the motor's limits or its register's
documented range. A message that fails any check is Refused, with the text the page shows."""

from __future__ import annotations

import dataclasses
import json
import math
from collections.abc import Callable, Sequence
from typing import Any

from velkarin_view.motors import MODE_NUMBERS, Limits
from velkarin_view.registers import Register
from velkarin_view.signals import SHAPES

# Speed limit of a FORCE_POS frame: its count is hundredths of rad/s, capped at 10000.
FORCE_POS_SPEED_MAX = 100.0
# The generator's fastest wave, as a share of the loop rate: four samples a period at least.
SAMPLES_PER_PERIOD = 4
MAX_MESSAGE = 4096  # bytes; every valid message is far shorter

SIMPLE = ("enable", "disable", "zero", "clear")


class Refused(ValueError):
    """A message the view does not act on; str() is what the page shows."""


@dataclasses.dataclass(frozen=True)
class Command:
    kind: str
    motor: int | None = None
    args: dict[str, Any] = dataclasses.field(default_factory=dict)


def field_bounds(mode: str, limits: Limits) -> dict[str, tuple[float, float]]:
    """Each setpoint field of a control mode and the range the view lets it take."""
    p, v, t = limits.p_max, limits.v_max, limits.t_max
    return {
        "mit": {"q": (-p, p), "dq": (-v, v), "kp": (0.0, limits.kp_max), "kd": (0.0, limits.kd_max),
                "tau": (-t, t)},
        "pos_vel": {"position": (-p, p), "velocity": (0.0, v)},  # velocity: the move's speed cap
        "vel": {"velocity": (-v, v)},
        "force_pos": {"position": (-p, p), "velocity_limit": (0.0, min(FORCE_POS_SPEED_MAX, v)),
                      "torque_ratio": (0.0, 1.0)},
    }[mode]


# The field a signal drives in each mode.
MAIN_FIELD = {"mit": "q", "pos_vel": "position", "vel": "velocity", "force_pos": "position"}


def _number(message: dict[str, Any], key: str) -> float:
    value = message.get(key)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise Refused(f"{key} must be a finite number, not {json.dumps(value)}")
    return float(value)


def _within(name: str, value: float, bounds: tuple[float, float]) -> float:
    lo, hi = bounds
    if not lo <= value <= hi:
        raise Refused(f"{name} must be in [{lo:g}, {hi:g}], not {value:g}")
    return value


@dataclasses.dataclass
class Checker:
    """The facts a check needs: the motors' limits, each one's control mode as the loop has it
    now (None while unknown), the loop rate and the register table."""

    limits: Sequence[Limits]
    mode_of: Callable[[int], str | None]
    rate_hz: float
    registers: dict[str, Register]

    def load(self, text: str | bytes) -> dict[str, Any]:
        """The message as a JSON object, before any of its fields is looked at."""
        if len(text) > MAX_MESSAGE:
            raise Refused(f"a message of {len(text)} bytes is longer than any the view takes")
        try:
            message = json.loads(text)
        except ValueError:
            raise Refused("not a JSON message") from None
        if not isinstance(message, dict):
            raise Refused("a message is a JSON object with a type")
        return message

    def _motor(self, message: dict[str, Any]) -> int:
        index = message.get("motor")
        if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index < len(self.limits):
            raise Refused(f"no motor {json.dumps(index)}: this view has motors 0 to {len(self.limits) - 1}")
        return index

    def _mode(self, index: int) -> str:
        mode = self.mode_of(index)
        if mode is None:
            raise Refused(f"motor {index}'s control mode is not known yet: choose one first")
        return mode

    def check(self, m: dict[str, Any]) -> Command:
        kind = m.get("type")
        if kind in SIMPLE:
            index = self._motor(m)
            if kind == "enable":
                self._mode(index)
            return Command(kind, index)
        if kind == "mode":
            index = self._motor(m)
            if m.get("mode") not in MODE_NUMBERS:
                raise Refused(f"mode must be one of {', '.join(MODE_NUMBERS)}, not {json.dumps(m.get('mode'))}")
            return Command(kind, index, {"mode": m["mode"]})
        if kind == "setpoint":
            return self._setpoint(m)
        if kind == "signal":
            return self._signal(m)
        if kind == "read_registers":
            return Command(kind, self._motor(m))
        if kind == "write_register":
            return self._write(m)
        if kind == "store":
            index = self._motor(m)
            if m.get("confirmed") is not True:
                raise Refused("storing to flash needs the confirmation: flash endures about 10,000 writes")
            return Command(kind, index)
        if kind == "record":
            if m.get("action") not in ("start", "stop"):
                raise Refused(f"record takes action start or stop, not {json.dumps(m.get('action'))}")
            return Command(kind, None, {"action": m["action"]})
        raise Refused(f"unknown message type {json.dumps(kind)}")

    def _setpoint(self, m: dict[str, Any]) -> Command:
        index = self._motor(m)
        mode = self._mode(index)
        if m.get("mode") != mode:
            raise Refused(f"motor {index} is in {mode} mode now, not {json.dumps(m.get('mode'))}")
        fields = m.get("fields")
        bounds = field_bounds(mode, self.limits[index])
        if not isinstance(fields, dict) or not fields or not set(fields) <= set(bounds):
            raise Refused(f"fields of {mode} mode are {', '.join(bounds)}")
        values = {name: _within(name, _number(fields, name), bounds[name]) for name in fields}
        return Command("setpoint", index, {"mode": mode, "fields": values})

    def _signal(self, m: dict[str, Any]) -> Command:
        index = self._motor(m)
        shape = m.get("shape")
        if shape == "off":
            return Command("signal", index, {"shape": "off"})
        if shape not in SHAPES:
            raise Refused(f"shape must be off, {', '.join(SHAPES)}, not {json.dumps(shape)}")
        mode = self._mode(index)
        amplitude, frequency, offset = (_number(m, k) for k in ("amplitude", "frequency", "offset"))
        lo, hi = field_bounds(mode, self.limits[index])[MAIN_FIELD[mode]]
        if amplitude < 0 or offset - amplitude < lo or offset + amplitude > hi:
            raise Refused(f"offset {offset:g} and amplitude {amplitude:g} must keep "
                          f"{MAIN_FIELD[mode]} within [{lo:g}, {hi:g}]")
        fastest = self.rate_hz / SAMPLES_PER_PERIOD
        if shape != "step" and not 0 < frequency <= fastest:
            raise Refused(f"frequency must be above 0 and at most {fastest:g} Hz at this loop rate")
        return Command("signal", index, {"shape": shape, "amplitude": amplitude,
                                         "frequency": frequency, "offset": offset})

    def _write(self, m: dict[str, Any]) -> Command:
        index = self._motor(m)
        name = m.get("register")
        register = self.registers.get(name) if isinstance(name, str) else None
        if register is None:
            raise Refused(f"unknown register {json.dumps(m.get('register'))}")
        value = _number(m, "value")
        if why := register.check(value):
            raise Refused(why)
        if register.kind == "uint32":
            value = int(value)
        return Command("write_register", index, {"register": register.variable, "value": value})
