"""The Python examples on an interface they cannot use or with motors that do not answer: one
line per failure that names the interface or the motor and says what to do, exit status 1, no
traceback; and a run of track_sine.py that writes no plot unless asked."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from robust_util import ip, make_vcan

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_example(name: str, *args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(EXAMPLES / name), *args],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
                          cwd=cwd)


def failure_lines(done: subprocess.CompletedProcess[str], name: str) -> list[str]:
    assert done.returncode == 1, done.stdout + done.stderr
    lines = done.stderr.splitlines()
    assert lines and all(line.startswith(f"{name}: ") for line in lines), done.stderr
    return lines


def assert_one_clear_line(done: subprocess.CompletedProcess[str], iface: str, why: str) -> None:
    [line] = failure_lines(done, "track_sine.py")
    assert line.startswith(f"track_sine.py: cannot use {iface}: {why}")
    assert "ip link set" in line and "velkarin-sim" in line


def test_a_missing_interface():
    assert_one_clear_line(run_example("track_sine.py", "--iface", "nosuchcan0", "--no-plot"),
                          "nosuchcan0", "No such device")


def test_a_motor_that_does_not_answer(vcan1):
    done = run_example("track_sine.py", "--iface", vcan1, "--timeout-ms", "5")
    [line] = failure_lines(done, "track_sine.py")
    assert line.startswith("track_sine.py: motor 0x001 did not answer a read of its control mode")
    assert all(word in line for word in ("--master-id", "bit rate", "power"))


@pytest.mark.requires_bus
@pytest.mark.parametrize(
    ("ifaces", "says"),
    [
        (["vcan0", "nosuchcan0"], ["group_sine.py: cannot open nosuchcan0: No such device (os error 19): "
                                   "bring nosuchcan0 up"]),
        (["vcan1"], [f"group_sine.py: motor {i:#x} on vcan1: the switch to MIT mode failed: transport "
                     "error: timeout waiting for frame: check its CAN id and master id" for i in (1, 2, 3)]),
    ],
    ids=["an-interface-missing", "motors-that-do-not-answer"],
)  # fmt: skip
def test_group_sine_names_the_interface_or_the_motor_that_failed(ifaces, says):
    args = [word for iface in ifaces for word in ("--iface", iface)]
    lines = failure_lines(run_example("group_sine.py", *args, "--timeout-ms", "5"), "group_sine.py")
    assert len(lines) == len(says) and all(line.startswith(s) for line, s in zip(lines, says)), lines


def test_a_run_writes_no_plot_unless_asked(start_sim, vcan, tmp_path):
    start_sim("1:0x11:DM4310")
    done = run_example("track_sine.py", "--iface", vcan, "--duration", "0.2", "--ramp-speed", "4",
                       cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "tracking error" in done.stdout and list(tmp_path.iterdir()) == []


@pytest.mark.requires_bus
def test_an_interface_that_is_down():
    make_vcan("vdown0")
    try:
        ip("link", "set", "vdown0", "down")
        assert_one_clear_line(run_example("track_sine.py", "--iface", "vdown0", "--no-plot"),
                              "vdown0", "Network is down")
    finally:
        ip("link", "del", "vdown0")
