"""The motors' frames read back in Python, for watch mode, which must not open a velkarin bus:
MIT commands and feedback (the fixed-point fields over the motor's limits, each step rounded to
single precision as the core does), the POS_VEL, VEL and FORCE_POS frames, the special
commands, and register traffic on 0x7FF and the master id."""

from __future__ import annotations

import dataclasses
import struct

from velkarin_view.motors import Limits

MIT, POS_VEL, VEL, FORCE_POS = 0x000, 0x100, 0x200, 0x300  # id offsets of each mode's frames
REQUEST_ID = 0x7FF
SPECIAL = {0xFC: "enable", 0xFD: "disable", 0xFE: "zero", 0xFB: "clear"}
REGISTER_OPS = {0x33: "read", 0x55: "write", 0xAA: "store", 0xCC: "refresh"}
POSITION_COUNTS, FIELD_COUNTS = 0xFFFF, 0xFFF
_F32 = struct.Struct("<f")


def f32(x: float) -> float:
    return _F32.unpack(_F32.pack(x))[0]


def dequantize(raw: int, lo: float, hi: float, counts: int) -> float:
    """raw * (hi - lo) / counts + lo, each step rounded to single precision."""
    span = f32(f32(hi) - f32(lo))
    return f32(f32(f32(raw * span) / counts) + f32(lo))


@dataclasses.dataclass(frozen=True)
class Feedback:
    status: int
    position: float
    velocity: float
    torque: float
    t_mos: int
    t_rotor: int


def feedback(data: bytes, limits: Limits) -> Feedback | None:
    if len(data) < 8:
        return None
    word = int.from_bytes(data[:8], "big")
    p, v, t = limits.p_max, limits.v_max, limits.t_max
    return Feedback(status=word >> 60,
                    position=dequantize(word >> 40 & POSITION_COUNTS, -p, p, POSITION_COUNTS),
                    velocity=dequantize(word >> 28 & FIELD_COUNTS, -v, v, FIELD_COUNTS),
                    torque=dequantize(word >> 16 & FIELD_COUNTS, -t, t, FIELD_COUNTS),
                    t_mos=data[6], t_rotor=data[7])


def command(offset: int, data: bytes, limits: Limits) -> tuple[str, dict[str, float]] | None:
    """The mode and the fields of a command frame on the motor's id plus `offset`, or None for
    a frame that is none (too short, or a special command on the MIT id)."""
    if len(data) < 8:
        return None
    if offset == MIT:
        if data[:7] == b"\xff" * 7 and data[7] in SPECIAL:
            return None
        word = int.from_bytes(data[:8], "big")
        p, v, t = limits.p_max, limits.v_max, limits.t_max
        return "mit", {"q": dequantize(word >> 48, -p, p, POSITION_COUNTS),
                       "dq": dequantize(word >> 36 & FIELD_COUNTS, -v, v, FIELD_COUNTS),
                       "kp": dequantize(word >> 24 & FIELD_COUNTS, 0.0, limits.kp_max, FIELD_COUNTS),
                       "kd": dequantize(word >> 12 & FIELD_COUNTS, 0.0, limits.kd_max, FIELD_COUNTS),
                       "tau": dequantize(word & FIELD_COUNTS, -t, t, FIELD_COUNTS)}
    if offset == POS_VEL:
        position, velocity = struct.unpack_from("<ff", data)
        return "pos_vel", {"position": position, "velocity": velocity}
    if offset == VEL:
        return "vel", {"velocity": struct.unpack_from("<f", data)[0]}
    position, speed, torque = struct.unpack_from("<fHH", data)
    return "force_pos", {"position": position, "velocity_limit": speed / 100, "torque_ratio": torque / 10000}


def special(data: bytes) -> str | None:
    if len(data) == 8 and data[:7] == b"\xff" * 7:
        return SPECIAL.get(data[7])
    return None


def register_traffic(data: bytes, motor_id: int) -> str | None:
    """'read of register 21' and the like, for a request to the motor on 0x7FF or its reply on
    the master id: bytes 0-1 its CAN id, byte 2 the op, byte 3 the register. A feedback frame
    could spell the same bytes by chance; the tools take that risk the same way."""
    if len(data) != 8 or int.from_bytes(data[:2], "little") != motor_id or data[2] not in REGISTER_OPS:
        return None
    op = REGISTER_OPS[data[2]]
    return op if op in ("store", "refresh") else f"{op} of register {data[3]}"
