"""examples/track_sine.py and group_sine.py on an interface they cannot use or with motors that do
not answer: one line per failure that names the interface or the motor and says what to do, exit
status 1, no traceback; and a run of track_sine.py that writes no plot unless asked."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from robust_util import ip, make_vcan

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "track_sine.py"


def run_example(iface: str, *args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(EXAMPLE), "--iface", iface, *args],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
                          cwd=cwd)


def assert_one_clear_line(done: subprocess.CompletedProcess[str], iface: str, why: str) -> None:
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith(f"track_sine.py: cannot use {iface}: {why}")
    assert "ip link set" in lines[0] and "velkarin-sim" in lines[0]


def test_a_missing_interface():
    assert_one_clear_line(run_example("nosuchcan0", "--no-plot"), "nosuchcan0", "No such device")


def test_a_motor_that_does_not_answer(vcan1):
    done = run_example(vcan1, "--timeout-ms", "5")
    assert done.returncode == 1
    [line] = done.stderr.splitlines()
    assert line.startswith("track_sine.py: motor 0x001 did not answer a read of its control mode")
    assert all(word in line for word in ("--master-id", "bit rate", "power"))


@pytest.mark.requires_bus
@pytest.mark.parametrize(
    ("ifaces", "says"),
    [(["vcan0", "nosuchcan0"], ["cannot open nosuchcan0: No such device (os error 19): bring nosuchcan0 up"]),
     (["vcan1"], [f"motor {i:#x} on vcan1: the switch to MIT mode failed: transport error: timeout "
                  "waiting for frame: check its CAN id and master id" for i in (1, 2, 3)])],
    ids=["an-interface-missing", "motors-that-do-not-answer"],
)  # fmt: skip
def test_group_sine_names_the_interface_or_each_motor_that_failed(ifaces, says):
    done = subprocess.run([sys.executable, str(EXAMPLE.with_name("group_sine.py")), "--timeout-ms", "5",
                           *(word for iface in ifaces for word in ("--iface", iface))],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    lines = done.stderr.splitlines()
    assert done.returncode == 1 and len(lines) == len(says), done.stderr
    assert all(line.startswith(f"group_sine.py: {s}") for line, s in zip(lines, says)), done.stderr


def test_a_run_writes_no_plot_unless_asked(start_sim, vcan, tmp_path):
    start_sim("1:0x11:DM4310")
    done = run_example(vcan, "--duration", "0.2", "--ramp-speed", "4", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "tracking error" in done.stdout and list(tmp_path.iterdir()) == []


@pytest.mark.requires_bus
def test_an_interface_that_is_down():
    make_vcan("vdown0")
    try:
        ip("link", "set", "vdown0", "down")
        assert_one_clear_line(run_example("vdown0", "--no-plot"), "vdown0", "Network is down")
    finally:
        ip("link", "del", "vdown0")
