"""read_frame(), the core reading another program's frames for one motor: on vcan0 the frames
velkarin itself sends, as a raw socket records them, read back into the setpoints that were sent
and the simulator's replies into exactly the MotorState velkarin decoded from them; without a bus,
the special commands, register traffic and the frames that are not the motor's."""

from __future__ import annotations

import pytest

import canframes
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport
from velkarin_group import read_frame, watched_ids

MOTOR = Damiao(1, 0x11, MitLimits.dm4310())
# How far a decoded MIT field may be from what was sent: one count of its field.
QUANTUM = {"q": 25 / 65535, "dq": 60 / 4095, "kp": 500 / 4095, "kd": 5 / 4095, "tau": 20 / 4095}

SENT = [
    (ControlSetpoint.mit(MitSetpoint(q=0.3, dq=-1.2, kp=35, kd=1.5, tau=0.4)), 0x001,
     ("mit", {"q": 0.3, "dq": -1.2, "kp": 35, "kd": 1.5, "tau": 0.4})),
    (ControlSetpoint.pos_vel(1.25, 3.0), 0x101, ("pos_vel", {"position": 1.25, "velocity": 3.0})),
    (ControlSetpoint.vel(-2.5), 0x201, ("vel", {"velocity": -2.5})),
    (ControlSetpoint.force_pos(-0.75, 5.0, 0.5), 0x301,
     ("force_pos", {"position": -0.75, "velocity_limit": 5.0, "torque_ratio": 0.5})),
]


@pytest.mark.requires_bus
@pytest.mark.parametrize("setpoint, can_id, decoded", SENT, ids=[d[0] for _, _, d in SENT])
def test_what_velkarin_sends_and_the_motor_answers_reads_back(vcan, start_sim, raw_peer, setpoint, can_id, decoded):
    start_sim("1:0x11:DM4310")
    bus = SocketCanTransport(vcan)
    motor = Damiao(1, 0x11, MitLimits.dm4310())
    motor.enable(bus)
    state = motor.control(bus, setpoint)
    enable, _, command, reply = canframes.drain(raw_peer)
    assert read_frame(MOTOR, enable.can_id, enable.data) == ("special", "enable")
    assert (command.can_id, reply.can_id) == (can_id, 0x011)
    mode, fields = read_frame(MOTOR, command.can_id, command.data)
    assert (mode, fields.keys()) == (decoded[0], decoded[1].keys())
    for name, value in decoded[1].items():
        assert abs(fields[name] - value) <= QUANTUM.get(name, 0.0), name
    kind, fb = read_frame(MOTOR, reply.can_id, reply.data)
    names = ("motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor")
    assert (kind, *(getattr(fb, n) for n in names)) == ("feedback", *(getattr(state, n) for n in names))


SPECIAL = bytes([0xFF] * 7)


@pytest.mark.parametrize(("can_id", "data", "seen"), [
    (0x001, SPECIAL + b"\xfd", ("special", "disable")),
    (0x001, SPECIAL + b"\xfb", ("special", "clear")),
    (0x7FF, bytes([1, 0, 0x33, 21, 0, 0, 0, 0]), ("request", {"op": "read", "register": 21, "value": 0})),
    (0x7FF, bytes([1, 0, 0xAA, 1, 0, 0, 0, 0]), ("request", {"op": "store", "register": 1, "value": 0})),
    (0x011, bytes([1, 0, 0x55, 8, 0x10, 0, 0, 0]), ("reply", {"op": "write", "register": 8, "value": 16})),
    (0x7FF, bytes([2, 0, 0x33, 21, 0, 0, 0, 0]), None),  # another motor's read
    (0x002, bytes(8), None),                               # another motor's command
    (0x001, bytes(7), None),                               # too short for a command
    (0x80000001, SPECIAL + b"\xfc", None),                 # an extended identifier
])  # fmt: skip
def test_specials_register_traffic_and_other_motors_frames(can_id, data, seen):
    assert read_frame(MOTOR, can_id, data) == seen


def test_the_watched_ids_are_the_motors_command_ids_its_master_id_and_0x7ff():
    assert watched_ids(MOTOR) == [0x001, 0x101, 0x201, 0x301, 0x011, 0x7FF]
