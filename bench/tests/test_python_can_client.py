"""The plain-Python MIT client the benchmarks race against: its packing must put the motor's
bytes on the wire, and its command loop must pick the motor's reply out of other traffic."""

from __future__ import annotations

import can
import pytest

from python_can_client import DamiaoMotor, Limits, pack_mit, unpack_feedback


@pytest.mark.parametrize(
    "setpoint, wire",
    [
        ((0.0, 0.0, 0.0, 0.0, 0.0), "7fff7ff0000007ff"),  # mid-range position, velocity, torque
        ((12.5, 30.0, 500.0, 5.0, 10.0), "ffffffffffffffff"),  # every field at the top
        ((-12.5, -30.0, 0.0, 0.0, -10.0), "0000000000000000"),  # every field at the bottom
        ((1.0, 2.0, 50.0, 1.0, 0.5), "8a3c888199333865"),  # 35388.9, 409.5, 2149.875 truncate
        ((100.0, -100.0, -5.0, 50.0, 0.0), "ffff000000fff7ff"),  # out of range: clamped
    ],
)
def test_pack_mit_gives_the_motors_bytes(setpoint, wire):
    assert pack_mit(Limits(), *setpoint).hex() == wire


def test_pack_mit_scales_over_the_given_limits():
    # DM8009 ranges: the top of each range is still all ones.
    lim = Limits(12.5, 45.0, 500.0, 5.0, 54.0)
    assert pack_mit(lim, 12.5, 45.0, 500.0, 5.0, 54.0).hex() == "ffffffffffffffff"
    assert pack_mit(lim, 0.0, 0.0, 0.0, 0.0, 0.0).hex() == "7fff7ff0000007ff"


def test_unpack_feedback_reads_every_field():
    fb = unpack_feedback(Limits(), bytes.fromhex("017fff7ff7ff1e28"))
    assert (fb.motor_id, fb.error, fb.t_mos, fb.t_rotor) == (1, 0, 30, 40)
    # Plain Python decodes in double precision; the motor's single-precision figures agree to
    # well under one count.
    assert fb.position == pytest.approx(-0.00019073486, abs=1e-6)
    assert fb.velocity == pytest.approx(-0.007326126, abs=1e-6)
    assert fb.torque == pytest.approx(-0.00244236, abs=1e-6)


@pytest.mark.parametrize(
    "data, field, value",
    [
        ("1a00000000000000", "motor_id", 10),
        ("1a00000000000000", "error", 1),
        ("0100000000000000", "position", -12.5),
        ("01ffff0000000000", "position", 12.5),
        ("010000fff0000000", "velocity", 30.0),
        ("0100000000ff0000", "torque", 0xFF * 20 / 4095 - 10),
        ("017fff7ff7ff1e28ffff", "t_rotor", 40),  # bytes past the eighth are ignored
    ],
)
def test_unpack_feedback_fields(data, field, value):
    assert getattr(unpack_feedback(Limits(), bytes.fromhex(data)), field) == pytest.approx(value)


def test_unpack_feedback_refuses_a_short_frame():
    with pytest.raises(ValueError, match="7 bytes"):
        unpack_feedback(Limits(), bytes(7))


class ScriptedBus:
    """Stands in for a python-can bus: records what is sent, hands out the scripted frames."""

    def __init__(self, replies):
        self.replies = list(replies)
        self.sent = []
        self.waits = []

    def send(self, msg, timeout=None):
        self.sent.append(msg)

    def recv(self, timeout=None):
        self.waits.append(timeout)
        return self.replies.pop(0) if self.replies else None


def frame(arbitration_id, data=bytes.fromhex("117fff7ff7ff1e28"), **flags):
    return can.Message(arbitration_id=arbitration_id, data=data, **flags)


def test_command_skips_frames_that_are_not_the_motors_reply():
    noise = [
        frame(0x12, is_extended_id=False),  # another motor's feedback
        frame(0x11, is_extended_id=True),  # the right number, but an extended id
        frame(0x11, is_extended_id=False, is_remote_frame=True, data=b""),
        frame(0x11, is_extended_id=False, data=bytes(6)),  # too short to be feedback
    ]
    reply = frame(0x11, is_extended_id=False, data=bytes.fromhex("1a7fff7ff7ff1e28"))
    bus = ScriptedBus([*noise, reply])
    fb = DamiaoMotor(bus, 1, 0x11).mit_control(0.0, 0.0, 0.0, 0.0, 0.0)
    assert (fb.motor_id, fb.error) == (10, 1)
    [sent] = bus.sent
    assert (sent.arbitration_id, sent.is_extended_id, bytes(sent.data).hex()) == (
        1, False, "7fff7ff0000007ff")
    # Every wait gets only what is left of the one time-out.
    assert all(0 < w <= 0.02 for w in bus.waits)
    assert bus.waits == sorted(bus.waits, reverse=True)


def test_command_without_reply_times_out():
    bus = ScriptedBus([frame(0x12, is_extended_id=False)])
    with pytest.raises(TimeoutError, match="motor 0x1"):
        DamiaoMotor(bus, 1, 0x11).enable()
    assert bytes(bus.sent[0].data).hex() == "fffffffffffffffc"

