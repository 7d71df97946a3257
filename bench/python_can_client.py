"""MIT commands for a Damiao motor written the way a python-can user writes them.

The benchmarks' alternative to velkarin: python-can's SocketCAN bus, the MIT packing in plain
Python (struct and integer arithmetic, double precision), and the obvious command/reply loop:
send the frame, then receive until a frame on the motor's master id arrives or the time-out
passes. Kept tidy and honest: no shortcuts a careful user would not take, no extra work either.
"""

from __future__ import annotations

import struct
import time
from typing import NamedTuple

import can


class Limits(NamedTuple):
    """The ranges the motor's firmware scales MIT values over (DM4310 defaults)."""

    p_max: float = 12.5
    v_max: float = 30.0
    kp_max: float = 500.0
    kd_max: float = 5.0
    t_max: float = 10.0


class Feedback(NamedTuple):
    motor_id: int
    error: int
    position: float
    velocity: float
    torque: float
    t_mos: int
    t_rotor: int


def float_to_uint(x: float, lo: float, hi: float, bits: int) -> int:
    """Clamp x into [lo, hi] and scale it onto 0 .. 2**bits - 1, truncating."""
    x = min(max(x, lo), hi)
    return int((x - lo) * ((1 << bits) - 1) / (hi - lo))


def uint_to_float(raw: int, lo: float, hi: float, bits: int) -> float:
    return raw * (hi - lo) / ((1 << bits) - 1) + lo


_MIT = struct.Struct(">HBBBBBB")


def pack_mit(lim: Limits, q: float, dq: float, kp: float, kd: float, tau: float) -> bytes:
    """The 8-byte MIT command: q in 16 bits big-endian, then dq, kp, kd, tau in 12 bits each,
    two of them sharing a byte split into nibbles."""
    q_u = float_to_uint(q, -lim.p_max, lim.p_max, 16)
    dq_u = float_to_uint(dq, -lim.v_max, lim.v_max, 12)
    kp_u = float_to_uint(kp, 0.0, lim.kp_max, 12)
    kd_u = float_to_uint(kd, 0.0, lim.kd_max, 12)
    tau_u = float_to_uint(tau, -lim.t_max, lim.t_max, 12)
    return _MIT.pack(
        q_u,
        dq_u >> 4,
        ((dq_u & 0xF) << 4) | (kp_u >> 8),
        kp_u & 0xFF,
        kd_u >> 4,
        ((kd_u & 0xF) << 4) | (tau_u >> 8),
        tau_u & 0xFF,
    )


def unpack_feedback(lim: Limits, data: bytes | bytearray) -> Feedback:
    """Decode the first 8 bytes of a feedback frame."""
    if len(data) < 8:
        raise ValueError(f"feedback frame of {len(data)} bytes, want 8")
    p_raw = (data[1] << 8) | data[2]
    v_raw = (data[3] << 4) | (data[4] >> 4)
    t_raw = ((data[4] & 0xF) << 8) | data[5]
    return Feedback(
        motor_id=data[0] & 0x0F,
        error=data[0] >> 4,
        position=uint_to_float(p_raw, -lim.p_max, lim.p_max, 16),
        velocity=uint_to_float(v_raw, -lim.v_max, lim.v_max, 12),
        torque=uint_to_float(t_raw, -lim.t_max, lim.t_max, 12),
        t_mos=data[6],
        t_rotor=data[7],
    )


class DamiaoMotor:
    """One motor on a python-can bus: every command waits for the motor's feedback frame."""

    def __init__(
        self,
        bus: can.BusABC,
        motor_id: int,
        master_id: int,
        limits: Limits = Limits(),
        timeout: float = 0.02,
    ) -> None:
        self.bus = bus
        self.motor_id = motor_id
        self.master_id = master_id
        self.limits = limits
        self.timeout = timeout

    def _command(self, arbitration_id: int, data: bytes) -> Feedback:
        self.bus.send(can.Message(arbitration_id=arbitration_id, data=data, is_extended_id=False))
        deadline = time.monotonic() + self.timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no feedback from motor {self.motor_id:#x}")
            msg = self.bus.recv(timeout=remaining)
            if msg is None:
                raise TimeoutError(f"no feedback from motor {self.motor_id:#x}")
            if (
                msg.arbitration_id == self.master_id
                and not msg.is_extended_id
                and not msg.is_error_frame
                and not msg.is_remote_frame
                and len(msg.data) >= 8
            ):
                return unpack_feedback(self.limits, msg.data)

    def enable(self) -> Feedback:
        return self._command(self.motor_id, b"\xff" * 7 + b"\xfc")

    def mit_control(self, q: float, dq: float, kp: float, kd: float, tau: float) -> Feedback:
        return self._command(self.motor_id, pack_mit(self.limits, q, dq, kp, kd, tau))
