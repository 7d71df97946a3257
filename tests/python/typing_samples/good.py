"""A typed user program for the velkarin stubs: it must pass `mypy --strict` and pyright.

Every call's result is pinned with `assert_type`, so a stub that loosens a type (to Any, to an
Optional, to another class) fails the check instead of slipping through.
"""

from __future__ import annotations

import sys
from typing import Optional, assert_type

import velkarin
from velkarin import (
    ControlSetpoint,
    Damiao,
    MitLimits,
    MitSetpoint,
    MotorState,
    SocketCanTransport,
    mit_setpoint,
)


def limits_for(model: str) -> Optional[MitLimits]:
    presets = {
        "DM3507": MitLimits.dm3507,
        "DM4310": MitLimits.dm4310,
        "DM4310P": MitLimits.dm4310p,
        "DM4340": MitLimits.dm4340,
        "DM4340P": MitLimits.dm4340p,
        "DM6006": MitLimits.dm6006,
        "DM6248P": MitLimits.dm6248p,
        "DM8006": MitLimits.dm8006,
        "DM8009": MitLimits.dm8009,
        "DM10010": MitLimits.dm10010,
        "DM10010L": MitLimits.dm10010l,
        "DMG6215": MitLimits.dmg6215,
        "DMH3510": MitLimits.dmh3510,
        "DMH6220": MitLimits.dmh6220,
        "DMJH11": MitLimits.dmjh11,
    }
    make = presets.get(model)
    return make() if make is not None else None


def describe_limits(limits: MitLimits) -> str:
    span: float = limits.p_max + limits.v_max + limits.kp_max + limits.kd_max + limits.t_max
    assert_type(limits.p_max, float)
    assert_type(MitLimits().dm4310(), MitLimits)
    return f"{limits!r} (sum {span})"


def setpoints() -> list[ControlSetpoint]:
    hold = MitSetpoint(q=0.5, dq=0, kp=20.0, kd=0.5, tau=0.0)
    same = mit_setpoint(0.5, 0.0, 20.0, 0.5)
    assert_type(same, MitSetpoint)
    assert_type(hold.q + hold.dq + hold.kp + hold.kd + hold.tau, float)
    out = [
        ControlSetpoint.mit(hold),
        ControlSetpoint.pos_vel(1.5, velocity=-2.0),
        ControlSetpoint.vel(velocity=3),
        ControlSetpoint.force_pos(position=1.5, velocity_limit=2.5, torque_ratio=0.5),
    ]
    modes: list[int] = [sp.mode for sp in out]
    assert_type(repr(out[0]), str)
    return out if modes == [1, 2, 3, 4] else []


def report(state: MotorState) -> str:
    assert_type(state.motor_id, int)
    assert_type(state.error, int)
    assert_type(state.position, float)
    assert_type(state.velocity, float)
    assert_type(state.torque, float)
    assert_type(state.t_mos, int)
    assert_type(state.t_rotor, int)
    return repr(state)


def run(iface: str, motor_id: int, master_id: int, model: str) -> None:
    bus = SocketCanTransport(iface=iface)
    motor = Damiao(motor_id, master_id, limits=limits_for(model), timeout_ms=50)
    other = Damiao(motor_id=2, master_id=0x12, limits=None)
    assert_type(motor.motor_id, int)
    assert_type(other.master_id, int)
    assert_type(motor.ensure_mit_mode(bus), None)
    states: list[MotorState] = [
        assert_type(motor.enable(bus), MotorState),
        assert_type(motor.clear_error(bus=bus), MotorState),
        assert_type(motor.set_zero(bus), MotorState),
        assert_type(motor.mit_control(bus, setpoint=mit_setpoint(kp=5.0, kd=0.1)), MotorState),
    ]
    states.extend(assert_type(motor.control(bus, sp), MotorState) for sp in setpoints())
    states.append(assert_type(motor.disable(bus), MotorState))
    print(velkarin.__version__, repr(motor), describe_limits(MitLimits(p_max=12.5)))
    for state in states:
        print(report(state))


if __name__ == "__main__":
    run(sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3], 0), sys.argv[4])
