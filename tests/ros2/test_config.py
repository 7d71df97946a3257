"""The YAML configuration: the defaults a short file gets, each fault named by its key, and the
program's one line and exit status 2 for a bad file (without a bus)."""

from __future__ import annotations

import subprocess
import sys

import pytest

yaml = pytest.importorskip("yaml")

from velkarin_ros2.config import ConfigError, parse  # noqa: E402


def joint(**changes) -> dict:
    return {"name": "elbow", "bus": "can0", "motor_id": 1, "master_id": 0x11, "model": "DM4310",
            "kp": 30, "kd": 1, **changes}


def document(*joints: dict, **changes) -> dict:
    return {"rate_hz": 500, "buses": ["can0"], "joints": list(joints or [joint()]), **changes}


def test_a_short_file_gets_the_motors_ranges_and_one_period_of_reply_time() -> None:
    c = parse(document(joint(), joint(name="wrist", motor_id=2, master_id=0x12, model="dm8009",
                                      position_limits=[-1, 2], hold_kp=5)))
    elbow, wrist = c.joints
    assert (c.on_timeout, c.command_timeout, c.enable_at_start, c.can_fd) == ("hold", 0.5, True, False)
    assert (elbow.position_limits, elbow.velocity_limit, elbow.torque_limit) == ((-12.5, 12.5), 30, 10)
    assert (elbow.hold_kp, elbow.hold_kd, elbow.reply_timeout_ms) == (30, 1, 2)
    assert (wrist.limits.t_max, wrist.position_limits, wrist.hold_kp) == (54.0, (-1.0, 2.0), 5.0)


@pytest.mark.parametrize(("doc", "key", "says"), [
    ({"buses": ["can0"], "joints": [joint()]}, "rate_hz", "is missing"),
    (document(rate_hz=0), "rate_hz", "above 0"),
    (document(colour="red"), "colour", "not a known key"),
    (document(on_timeout="stop"), "on_timeout", "hold, disable"),
    (document(buses=["can0", "can0"]), "buses[1]", "listed twice"),
    (document(joint(), buses=["can0", "can1"]), "buses[1]", "no joint is on can1"),
    (document(joint(bus="can1")), "joints[0].bus", "must be one of buses"),
    (document(joint(motor_id=0x7FF)), "joints[0].motor_id", "0x1 to 0x7fe"),
    (document(joint(model="DM9999")), "joints[0].model", "DM4310"),
    (document(joint(limits={"p_max": 1, "v_max": 1, "kp_max": 1, "kd_max": 1, "t_max": 1})),
     "joints[0].model", "not both"),
    (document(joint(model=None, limits={"p_max": 1})), "joints[0].limits.v_max", "is missing"),
    (document(joint(kp=600)), "joints[0].kp", "at most 500"),
    (document(joint(position_limits=[0, 13])), "joints[0].position_limits", "<= 12.5"),
    (document(joint(torque_limit=11)), "joints[0].torque_limit", "at most 10"),
    (document(joint(name="elbow-1")), "joints[0].name", "letters, digits"),
    (document(joint(kp=0)), "joints[0].hold_kp", "above 0 to hold"),
    (document(joint(), joint(motor_id=2)), "joints[1].name", "joints[0] has the same name"),
    (document(joint(), joint(name="w", motor_id=2)), "joints[1].master_id", "same master_id on can0"),
])  # fmt: skip
def test_each_fault_names_its_key(doc, key, says) -> None:
    with pytest.raises(ConfigError) as raised:
        parse(doc)
    assert raised.value.key == key and says in str(raised.value), str(raised.value)


@pytest.mark.parametrize(("text", "line"), [
    ("rate_hz: [\n", "line 2: not valid YAML"),
    (yaml.safe_dump(document(rate_hz=-1)), "rate_hz: must be above 0"),
])  # fmt: skip
def test_the_program_prints_one_line_and_exits_2_on_a_bad_file(tmp_path, text, line) -> None:
    path = tmp_path / "bad.yaml"
    path.write_text(text)
    done = subprocess.run([sys.executable, "-m", "velkarin_ros2.main", str(path)],
                          capture_output=True, text=True, timeout=60)
    lines = done.stderr.splitlines()
    assert (done.returncode, done.stdout, len(lines)) == (2, "", 1), done.stderr
    assert lines[0].startswith(f"velkarin-ros2: {path}: {line}"), done.stderr
