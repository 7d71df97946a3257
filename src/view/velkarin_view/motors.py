"""The motors a view serves: `--motor ID:MASTER[:MODEL]` on an interface, or what a scan found;
each one's control mode and MIT limits as its own registers give them (PMAX, VMAX, TMAX: the
scaling its feedback uses), else those of its model's preset."""

from __future__ import annotations

import dataclasses

import velkarin

from velkarin_view.tool import Tool, ToolError

MODES = {1: "mit", 2: "pos_vel", 3: "vel", 4: "force_pos"}
MODE_NUMBERS = {name: number for number, name in MODES.items()}
# The firmware scales the MIT gains over these, whatever the model.
KP_MAX, KD_MAX = 500.0, 5.0


@dataclasses.dataclass
class Limits:
    p_max: float
    v_max: float
    t_max: float
    kp_max: float = KP_MAX
    kd_max: float = KD_MAX

    def mit_limits(self) -> velkarin.MitLimits:
        return velkarin.MitLimits(self.p_max, self.v_max, self.kp_max, self.kd_max, self.t_max)


def preset_limits(model: str) -> Limits:
    preset = getattr(velkarin.MitLimits, model.lower(), None)
    if preset is None or model.startswith("_"):
        raise ValueError(f"unknown motor model {model!r}")
    m = preset()
    return Limits(m.p_max, m.v_max, m.t_max, m.kp_max, m.kd_max)


@dataclasses.dataclass
class MotorSpec:
    """One motor: where it is, its ids, and what the view knows of it."""

    iface: str
    motor_id: int
    master_id: int
    model: str | None
    limits: Limits | None = None
    mode: int | None = None  # CTRL_MODE as last read or written; None until known
    note: str = ""  # why the limits or the mode are not the motor's own

    def as_json(self, index: int) -> dict[str, object]:
        return {"index": index, "iface": self.iface, "id": self.motor_id, "master_id": self.master_id,
                "model": self.model, "limits": dataclasses.asdict(self.limits) if self.limits else None,
                "mode": MODES.get(self.mode or 0), "note": self.note}


def parse_motor(iface: str, text: str) -> MotorSpec:
    """ID:MASTER[:MODEL], ids decimal or 0x-hex, as velkarin-sim and the examples take them."""
    words = text.split(":")
    if len(words) not in (2, 3):
        raise ValueError(f"--motor takes ID:MASTER[:MODEL], not {text!r}")
    try:
        motor_id, master_id = (int(w, 0) for w in words[:2])
    except ValueError:
        raise ValueError(f"--motor {text!r}: ids are decimal or 0x-hex numbers") from None
    if not (0 < motor_id <= 0x7FF and 0 <= master_id <= 0x7FF):
        raise ValueError(f"--motor {text!r}: ids are 11-bit CAN ids")
    model = words[2] if len(words) == 3 else None
    if model is not None:
        preset_limits(model)  # refuses an unknown model before anything is opened
    return MotorSpec(iface, motor_id, master_id, model)


def scan(tool: Tool) -> list[MotorSpec]:
    """Every motor velkarin-tool's scan finds on the tool's interface."""
    found = tool.call("scan")
    specs = []
    for m in found:
        models = m.get("models") or []
        spec = MotorSpec(tool.iface, m["id"], m["master_id"], models[0] if models else None,
                         Limits(m["pmax"], m["vmax"], m["tmax"]), MODE_NUMBERS.get(m.get("mode")))
        specs.append(spec)
    return specs


def identify(spec: MotorSpec, tool: Tool) -> None:
    """The motor's control mode and limits from its registers; where it does not answer, its
    model's preset and an unknown mode, with the reason in `note`."""
    try:
        values = tool.call("get", str(spec.motor_id), "MST_ID", "CTRL_MODE", "PMAX", "VMAX", "TMAX")
    except ToolError as e:
        if spec.model is None:
            raise ValueError(f"motor {spec.motor_id:#x} on {spec.iface}: {e}; give its model "
                             "(--motor ID:MASTER:MODEL) to serve it anyway") from None
        spec.limits = preset_limits(spec.model)
        spec.note = f"{e}: limits of the {spec.model} preset, control mode unknown"
        return
    if values["MST_ID"] != spec.master_id:
        raise ValueError(f"motor {spec.motor_id:#x} on {spec.iface} answers on master id "
                         f"{values['MST_ID']:#x}, not {spec.master_id:#x}: fix --motor")
    spec.mode = values["CTRL_MODE"] if values["CTRL_MODE"] in MODES else None
    spec.limits = Limits(values["PMAX"], values["VMAX"], values["TMAX"])
