"""Watch mode's decoding against the real thing, on vcan0: the frames velkarin itself sends, as a
raw socket records them, read back into the setpoints that were sent, and the simulator's replies
into exactly the MotorState velkarin decoded from them."""

from __future__ import annotations

import pytest

import canframes
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport
from velkarin_view import frames
from velkarin_view.motors import preset_limits

LIMITS = preset_limits("DM4310")
# How far a decoded MIT field may be from what was sent: one count of its field.
QUANTUM = {"q": 25 / 65535, "dq": 60 / 4095, "kp": 500 / 4095, "kd": 5 / 4095, "tau": 20 / 4095}

SENT = [
    (ControlSetpoint.mit(MitSetpoint(q=0.3, dq=-1.2, kp=35, kd=1.5, tau=0.4)), frames.MIT,
     ("mit", {"q": 0.3, "dq": -1.2, "kp": 35, "kd": 1.5, "tau": 0.4})),
    (ControlSetpoint.pos_vel(1.25, 3.0), frames.POS_VEL, ("pos_vel", {"position": 1.25, "velocity": 3.0})),
    (ControlSetpoint.vel(-2.5), frames.VEL, ("vel", {"velocity": -2.5})),
    (ControlSetpoint.force_pos(-0.75, 5.0, 0.5), frames.FORCE_POS,
     ("force_pos", {"position": -0.75, "velocity_limit": 5.0, "torque_ratio": 0.5})),
]


@pytest.mark.parametrize("setpoint, offset, decoded", SENT, ids=[d[0] for _, _, d in SENT])
def test_what_velkarin_sends_and_the_motor_answers_decodes_back(vcan, start_sim, raw_peer, setpoint, offset, decoded):
    start_sim("1:0x11:DM4310")
    bus = SocketCanTransport(vcan)
    motor = Damiao(1, 0x11, MitLimits.dm4310())
    motor.enable(bus)
    state = motor.control(bus, setpoint)
    enable, _, command, reply = canframes.drain(raw_peer)
    assert (enable.can_id, frames.special(enable.data)) == (0x001, "enable")
    assert (command.can_id, reply.can_id) == (0x001 + offset, 0x011)
    mode, fields = frames.command(offset, command.data, LIMITS)
    assert (mode, fields.keys()) == (decoded[0], decoded[1].keys())
    for name, value in decoded[1].items():
        assert abs(fields[name] - value) <= QUANTUM.get(name, 0.0), name
    fb = frames.feedback(reply.data, LIMITS)
    assert (fb.status, fb.position, fb.velocity, fb.torque, fb.t_mos, fb.t_rotor) == (
        state.error, state.position, state.velocity, state.torque, state.t_mos, state.t_rotor)
