"""The node's YAML configuration, read into frozen values and checked whole before anything opens a
bus: every fault is a ConfigError whose text starts with the key it concerns
(`joints[1].motor_id: ...`), so a bad file costs one line and exit status 2."""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Any

import yaml

import velkarin

ACTIONS = ("hold", "disable")  # what the node does when commands stop coming
MAX_RATE_HZ = 10_000.0
IFNAMSIZ = 16  # the kernel's bound on an interface name, its NUL included
# A joint's name becomes part of the parameters kp.<joint> and kd.<joint>: one ROS name token.
JOINT_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*")
LIMIT_FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
MODELS = sorted(n for n in dir(velkarin.MitLimits) if n.startswith("dm"))


class ConfigError(ValueError):
    """A fault of the configuration; str() is `KEY: what is wrong`."""

    def __init__(self, key: str, problem: str) -> None:
        super().__init__(f"{key}: {problem}")
        self.key = key


@dataclass(frozen=True)
class Joint:
    name: str
    bus: str
    motor_id: int
    master_id: int
    limits: velkarin.MitLimits  # the motor's own MIT ranges (its PMAX, VMAX, TMAX)
    reply_timeout_ms: int
    kp: float
    kd: float
    hold_kp: float
    hold_kd: float
    position_limits: tuple[float, float]  # enforced by the node, inside the motor's own
    velocity_limit: float
    torque_limit: float


@dataclass(frozen=True)
class Config:
    node_name: str
    rate_hz: float
    can_fd: bool
    buses: tuple[str, ...]
    command_timeout: float  # seconds without a command before on_timeout happens
    on_timeout: str  # one of ACTIONS
    enable_at_start: bool
    joints: tuple[Joint, ...]


class _Section:
    """One mapping of the file, read key by key; keys it was not asked for are faults."""

    def __init__(self, value: Any, key: str) -> None:
        if not isinstance(value, dict):
            raise ConfigError(key or "(top level)", f"must be a mapping, got {_shown(value)}")
        self.value, self.key, self.read = value, key, set()

    def path(self, name: str) -> str:
        return f"{self.key}.{name}" if self.key else name

    def get(self, name: str, default: Any = ...) -> Any:
        self.read.add(name)
        if name in self.value:
            return self.value[name]
        if default is ...:
            raise ConfigError(self.path(name), "is missing")
        return default

    def number(self, name: str, default: Any = ..., low: float = -math.inf, high: float = math.inf,
               above: float | None = None) -> float:
        value = self.get(name, default)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise ConfigError(self.path(name), f"must be a finite number, got {_shown(value)}")
        if (above is not None and value <= above) or not low <= value <= high:
            bound = f"above {above:g}" if above is not None else f"at least {low:g}"
            raise ConfigError(self.path(name), f"must be {bound} and at most {high:g}, got {value:g}")
        return float(value)

    def integer(self, name: str, low: int, high: int, default: Any = ...) -> int:
        value = self.get(name, default)
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise ConfigError(self.path(name),
                              f"must be an integer from {low:#x} to {high:#x}, got {_shown(value)}")
        return value

    def flag(self, name: str, default: bool) -> bool:
        value = self.get(name, default)
        if not isinstance(value, bool):
            raise ConfigError(self.path(name), f"must be true or false, got {_shown(value)}")
        return value

    def done(self) -> None:
        unknown = sorted(str(k) for k in self.value if k not in self.read)
        if unknown:
            raise ConfigError(self.path(unknown[0]), "is not a known key")


def _shown(value: Any) -> str:
    return repr(value) if isinstance(value, (str, int, float, bool)) or value is None else type(value).__name__


def load(path: str) -> Config:
    """The configuration in the file at `path`; ConfigError (or OSError) when it is wrong."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        document = yaml.safe_load(text)
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        where = f"line {mark.line + 1}" if mark is not None else "(file)"
        raise ConfigError(where, f"not valid YAML: {getattr(e, 'problem', None) or e}") from None
    return parse(document)


def parse(document: Any) -> Config:
    top = _Section(document, "")
    rate_hz = top.number("rate_hz", above=0.0, high=MAX_RATE_HZ)
    buses = _buses(top.get("buses"))
    raw_joints = top.get("joints")
    if not isinstance(raw_joints, list) or not raw_joints:
        raise ConfigError("joints", f"must be a non-empty list, got {_shown(raw_joints)}")
    # One period by default: a silent motor then costs each round about one tick, not more.
    reply_default = max(1, math.ceil(1000.0 / rate_hz))
    joints = tuple(_joint(_Section(j, f"joints[{n}]"), buses, reply_default)
                   for n, j in enumerate(raw_joints))
    name = top.get("node_name", "velkarin")
    if not isinstance(name, str) or not JOINT_NAME.fullmatch(name):
        raise ConfigError("node_name", f"must be a ROS node name (letters, digits, _), got {_shown(name)}")
    on_timeout = top.get("on_timeout", "hold")
    if on_timeout not in ACTIONS:
        raise ConfigError("on_timeout", f"must be one of {', '.join(ACTIONS)}, got {_shown(on_timeout)}")
    config = Config(node_name=name, rate_hz=rate_hz, can_fd=top.flag("can_fd", False), buses=buses,
                    command_timeout=top.number("command_timeout", 0.5, above=0.0, high=3600.0),
                    on_timeout=on_timeout, enable_at_start=top.flag("enable_at_start", True),
                    joints=joints)
    top.done()
    _check_together(config)
    return config


def _buses(value: Any) -> tuple[str, ...]:
    if not isinstance(value, list) or not value:
        raise ConfigError("buses", f"must be a non-empty list of interface names, got {_shown(value)}")
    for n, iface in enumerate(value):
        if not isinstance(iface, str) or not 0 < len(iface.encode()) < IFNAMSIZ or "/" in iface:
            raise ConfigError(f"buses[{n}]", f"must be an interface name of 1 to {IFNAMSIZ - 1} "
                              f"bytes, got {_shown(iface)}")
        if iface in value[:n]:
            raise ConfigError(f"buses[{n}]", f"{iface} is listed twice")
    return tuple(value)


def _motor_limits(s: _Section) -> velkarin.MitLimits:
    model = s.get("model", None)
    raw = s.get("limits", None)
    if (model is None) == (raw is None):
        raise ConfigError(s.path("model"), "give either model or limits, not both or neither")
    if model is not None:
        if not isinstance(model, str) or model.lower() not in MODELS:
            raise ConfigError(s.path("model"), f"must be one of {', '.join(m.upper() for m in MODELS)}, "
                              f"got {_shown(model)}")
        return getattr(velkarin.MitLimits, model.lower())()
    limits = _Section(raw, s.path("limits"))
    values = {f: limits.number(f, above=0.0) for f in LIMIT_FIELDS}
    limits.done()
    return velkarin.MitLimits(**values)


def _joint(s: _Section, buses: tuple[str, ...], reply_default: int) -> Joint:
    name = s.get("name")
    if not isinstance(name, str) or not JOINT_NAME.fullmatch(name):
        raise ConfigError(s.path("name"), f"must be letters, digits and _, starting with a letter, "
                          f"got {_shown(name)}")
    bus = s.get("bus")
    if bus not in buses:
        raise ConfigError(s.path("bus"), f"must be one of buses ({', '.join(buses)}), got {_shown(bus)}")
    # 0x7FF is the register-request identifier every motor listens on.
    motor_id = s.integer("motor_id", 1, 0x7FE)
    master_id = s.integer("master_id", 0, 0x7FE)
    m = _motor_limits(s)
    kp = s.number("kp", 0.0, 0.0, m.kp_max)
    kd = s.number("kd", 0.0, 0.0, m.kd_max)
    hold_kp = s.number("hold_kp", kp, 0.0, m.kp_max)
    hold_kd = s.number("hold_kd", kd, 0.0, m.kd_max)
    position = s.get("position_limits", [-m.p_max, m.p_max])
    if (not isinstance(position, list) or len(position) != 2
            or not all(isinstance(p, (int, float)) and not isinstance(p, bool) for p in position)
            or not -m.p_max <= position[0] < position[1] <= m.p_max):
        raise ConfigError(s.path("position_limits"), f"must be [low, high] with -{m.p_max:g} <= low "
                          f"< high <= {m.p_max:g} (the motor's range), got {position!r}")
    joint = Joint(name=name, bus=bus, motor_id=motor_id, master_id=master_id, limits=m,
                  reply_timeout_ms=s.integer("reply_timeout_ms", 1, 1000, reply_default),
                  kp=kp, kd=kd, hold_kp=hold_kp, hold_kd=hold_kd,
                  position_limits=(float(position[0]), float(position[1])),
                  velocity_limit=s.number("velocity_limit", m.v_max, above=0.0, high=m.v_max),
                  torque_limit=s.number("torque_limit", m.t_max, above=0.0, high=m.t_max))
    s.done()
    return joint


def _check_together(config: Config) -> None:
    seen: dict[object, int] = {}
    for n, j in enumerate(config.joints):
        key = f"joints[{n}]"
        for what, mark in (("name", ("name", j.name)), ("motor_id", ("motor", j.bus, j.motor_id)),
                           ("master_id", ("master", j.bus, j.master_id))):
            if mark in seen:
                on = "" if what == "name" else f" on {j.bus}"
                raise ConfigError(f"{key}.{what}", f"joints[{seen[mark]}] has the same {what}{on}")
            seen[mark] = n
        if config.on_timeout == "hold" and j.hold_kp == 0.0:
            raise ConfigError(f"{key}.hold_kp", "must be above 0 to hold the joint when commands "
                              "stop (on_timeout: hold)")
    for n, bus in enumerate(config.buses):
        if not any(j.bus == bus for j in config.joints):
            raise ConfigError(f"buses[{n}]", f"no joint is on {bus}")
