"""Mistakes a type checker must reject with the velkarin stubs in place.

Each wrong line ends in `# expect: CODE`, CODE being mypy's error code for it; the test wants
exactly these errors on exactly these lines, from mypy and (by line) from pyright.
"""

from __future__ import annotations

from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport, mit_setpoint

bus = SocketCanTransport(0)  # expect: arg-type
motor = Damiao(1, 0x11, limits=(12.5, 30.0, 500.0, 5.0, 10.0))  # expect: arg-type
motor.control(bus, MitSetpoint())  # expect: arg-type
motor.enable(None)  # expect: arg-type
MitSetpoint(q="1")  # expect: arg-type
ControlSetpoint.mit((0.0, 0.0, 0.0, 0.0, 0.0))  # expect: arg-type
ControlSetpoint.pos_vel(1.0)  # expect: call-arg
MitLimits.dm4310(1)  # expect: call-arg
mit_setpoint(x=1.0)  # expect: call-arg
Damiao(1)  # expect: call-arg
motor.motor_id = 5  # expect: misc
state: MotorState = motor.ensure_mit_mode(bus)  # expect: func-returns-value, assignment
limit: int = MitLimits().p_max  # expect: assignment


class Tuned(Damiao):  # expect: misc
    pass
