"""examples/track_sine.py on an interface it cannot use: one line that says what is wrong and what
to do (bring an interface up, or use velkarin-sim on a virtual bus), exit status 1, no traceback."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from robust_util import ip, make_vcan

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "track_sine.py"


def run_example(iface: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(EXAMPLE), "--iface", iface, "--no-plot"],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)


def assert_one_clear_line(done: subprocess.CompletedProcess[str], iface: str, why: str) -> None:
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith(f"track_sine.py: cannot use {iface}: {why}")
    assert "ip link set" in lines[0] and "velkarin-sim" in lines[0]


def test_a_missing_interface():
    assert_one_clear_line(run_example("nosuchcan0"), "nosuchcan0", "No such device")


@pytest.mark.requires_bus
def test_an_interface_that_is_down():
    make_vcan("vdown0")
    try:
        ip("link", "set", "vdown0", "down")
        assert_one_clear_line(run_example("vdown0"), "vdown0", "Network is down")
    finally:
        ip("link", "del", "vdown0")
