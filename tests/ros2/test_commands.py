"""Joint commands without a bus: fields kept and replaced by name, whole messages refused, and
the setpoints the loop sends for commanded and holding joints."""

from __future__ import annotations

import math

import pytest

pytest.importorskip("yaml")

from velkarin_ros2.commands import (  # noqa: E402
    Command, Gains, Refused, check_gain, merge, setpoint)
from velkarin_ros2.config import parse  # noqa: E402

JOINTS = parse({"rate_hz": 100, "buses": ["can0"], "joints": [
    {"name": n, "bus": "can0", "motor_id": i, "master_id": 0x10 + i, "model": "DM4310", "kp": 10,
     "position_limits": [-1, 1], "velocity_limit": 2, "torque_limit": 3}
    for i, n in ((1, "a"), (2, "b"))]}).joints
INDEX = {"a": 0, "b": 1}
BEFORE = (Command(0.5, 0.1, 0.2), Command())


def test_a_message_replaces_the_fields_it_has_for_the_joints_it_names() -> None:
    assert merge(JOINTS, INDEX, BEFORE, ["b"], [], [-2.0], []) == (BEFORE[0], Command(None, -2.0))
    assert merge(JOINTS, INDEX, BEFORE, ["b", "a"], [1.0, -1.0], [], [0.0, 3.0]) == (
        Command(-1.0, 0.1, 3.0), Command(1.0, None, 0.0))


@pytest.mark.parametrize(("names", "position", "effort", "joint", "says"), [
    ([], [], [], None, "names no joint"),
    (["a", "z"], [0.1, 0.1], [], None, "unknown joint 'z'"),
    (["a", "a"], [], [], None, "named twice"),
    (["a", "b"], [0.1], [], None, "position has 1 values for 2 names"),
    (["a", "b"], [0.1, 1.5], [], 1, "position 1.5 is outside [-1, 1]"),
    (["b", "a"], [], [0.0, math.nan], 1, "effort nan is outside [-3, 3]"),
    (["a"], [], [-3.5], 0, "effort -3.5"),
])  # fmt: skip
def test_a_message_with_any_fault_is_refused_whole(names, position, effort, joint, says) -> None:
    with pytest.raises(Refused) as raised:
        merge(JOINTS, INDEX, BEFORE, names, position, [], effort)
    assert raised.value.joint == (None if joint is None else INDEX[names[joint]])
    assert says in str(raised.value)


@pytest.mark.parametrize(("command", "hold_q", "sent"), [
    (Command(0.5, 0.1, 0.2), 0.9, (0.5, 0.1, 8.0, 0.5, 0.2)),
    (Command(None, None, 1.0), 0.9, (0.9, 0.0, 8.0, 0.5, 1.0)),  # q held where the joint was
    (Command(None, None, 1.0), None, (0.0, 0.0, 0.0, 0.5, 1.0)),  # unknown: no stiffness
])  # fmt: skip
def test_a_commanded_joint_gets_its_fields_and_gains(command, hold_q, sent) -> None:
    sp = setpoint(command, Gains(8.0, 0.5), hold_q)
    assert (sp.q, sp.dq, sp.kp, sp.kd, sp.tau) == pytest.approx(sent)


def test_a_gain_is_a_number_from_0_to_the_motors_maximum() -> None:
    assert check_gain(JOINTS[0], "kd", 5) == 5.0
    for bad in (500.5, -1.0, math.inf, "7", True):
        with pytest.raises(ValueError, match="kp.a must be"):
            check_gain(JOINTS[0], "kp", bad)
