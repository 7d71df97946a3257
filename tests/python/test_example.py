"""examples/track_sine.py on an interface it cannot use or with a motor that does not answer: one
line that says what is wrong and what to do, exit status 1, no traceback; and a run that writes
no plot unless asked."""

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


def test_a_run_writes_no_plot_unless_asked(start_sim, vcan, tmp_path):
    start_sim("1:0x11:DM4310")
    done = run_example(vcan, "--duration", "0.2", cwd=tmp_path)
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
