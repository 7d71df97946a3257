"""Every example, and the README's MotorGroup program, started twice in a row on the same
simulators with the motors left away from the start of its motion: each run moves them there
without a jump, tracks, and leaves them where it found them."""

from __future__ import annotations

import ast
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

import sim
from velkarin import Damiao, MitSetpoint, SocketCanTransport

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
# tools/test-all builds examples/cpp there; VELKARIN_SIX_MOTORS names another build.
SIX_MOTORS = Path(os.environ.get("VELKARIN_SIX_MOTORS", ROOT / "build" / "example" / "six_motors"))
AWAY = 2.0  # rad: where the motors wait, 2.5 to 3 rad from every motion's start
JUMP = 1.0  # rad: an error larger than this is a jump towards the start, not tracking
RMS_LIMIT = 0.05  # rad: six_motors' own bound for tracking
# Generous time-outs, so that a busy machine fails no round, and a short run at a gentle rate.
TIMEOUT_MS = 300
COMMON = ["--rate", "200", "--timeout-ms", str(TIMEOUT_MS), "--ramp-speed", "3"]
THREE, SIX = ([f"{i}:{0x10 + i:#x}:DM4310" for i in range(1, n + 1)] for n in (3, 6))


def readme_program() -> str:
    """The first Python block of the README's MotorGroup section, as a reader copies it."""
    text = (ROOT / "README.md").read_text()
    body = text[text.index("```python\n", text.index("\n## Many motors: `velkarin_group`\n")) + 10:]
    return body[:body.index("```")]


def with_generous_timeouts(program: str) -> str:
    """The README's program with the examples' --timeout-ms: its motors keep the default 20 ms,
    which a busy guest's simulator can miss at the enable."""
    motors = "vk.Damiao(i, 0x10 + i, vk.MitLimits.dm4310())"
    assert motors in program, "the README's program no longer makes its motors this way"
    return program.replace(motors, motors[:-1] + f", timeout_ms={TIMEOUT_MS})")


# The command, its motors per bus, and whether it prints each motor's tracking error.
CASES = [
    pytest.param([sys.executable, str(EXAMPLES / "track_sine.py"), "--duration", "1", "--frequency", "1",
                  *COMMON], {"vcan0": ["1:0x11:DM4310"]}, True, id="track_sine"),
    pytest.param([sys.executable, str(EXAMPLES / "group_sine.py"), "--duration", "1", *COMMON],
                 {"vcan0": THREE, "vcan1": THREE}, True, id="group_sine"),
    pytest.param([str(SIX_MOTORS), "--seconds", "1", *COMMON], {"vcan0": SIX}, True, id="six_motors"),
    pytest.param([sys.executable, "-c", with_generous_timeouts(readme_program()), "vcan0", "vcan1"],
                 {"vcan0": THREE, "vcan1": THREE}, False, id="readme-group-program"),
]  # fmt: skip


def members(motors: dict[str, list[str]]) -> list[tuple[SocketCanTransport, Damiao]]:
    """The motors on buses opened now: a bus kept open through an example's run would hold every
    frame of it, and take the oldest on a master id for the next reply."""
    buses = {iface: SocketCanTransport(iface) for iface in motors}
    return [(buses[iface], Damiao(int(arg.split(":")[0]), int(arg.split(":")[1], 16), timeout_ms=300))
            for iface, args in motors.items() for arg in args]


def place(motors: list[tuple[SocketCanTransport, Damiao]], pose: float) -> None:
    """Holds every motor at `pose` until all of them rest there, then disables them."""
    for bus, motor in motors:
        motor.enable(bus)
    deadline = time.monotonic() + 30
    while not all(abs(s.position - pose) < 0.005 and abs(s.velocity) < 0.05
                  for s in [m.mit_control(bus, MitSetpoint(q=pose, kp=20, kd=2)) for bus, m in motors]):
        assert time.monotonic() < deadline, f"the motors did not settle at {pose} rad"
    for bus, motor in motors:
        motor.disable(bus)


@pytest.mark.requires_bus
@pytest.mark.parametrize(("command", "motors", "reports"), CASES)
def test_an_example_started_twice_moves_to_its_start_tracks_and_returns(vcan, vcan1, command, motors,
                                                                         reports):
    if not Path(command[0]).exists():
        pytest.skip(f"{command[0]} is not built (tools/test-all builds it)")
    sims = [sim.Sim(sim.find_sim() or "velkarin-sim", iface, args) for iface, args in motors.items()]
    try:
        place(members(motors), AWAY)
        for run in ("first", "second"):
            done = subprocess.run(command, capture_output=True, text=True, timeout=120,
                                  stdin=subprocess.DEVNULL)
            assert done.returncode == 0, f"{run} run:\n{done.stdout}{done.stderr}"
            # Per motor, the RMS and max tracking error as each example prints them.
            errors = re.findall(r"(\d+\.\d{4})(?: rad, max)? +(\d+\.\d{4})", done.stdout)
            assert len(errors) == (sum(map(len, motors.values())) if reports else 0), done.stdout
            assert all(float(rms) < RMS_LIMIT and float(worst) < JUMP for rms, worst in errors), done.stdout
            # Disabling answers with where each motor is, and moves none of them.
            left = [motor.disable(bus).position for bus, motor in members(motors)]
            assert all(abs(q - AWAY) < 0.05 for q in left), f"{run} run left the motors at {left}"
    finally:
        assert [s.stop() for s in sims] == [0] * len(sims)


def test_the_readme_group_program_carries_the_ramps_of_the_examples():
    def code(source: str) -> dict[str, str]:  # each top-level function's code, docstring left out
        defs = [n for n in ast.parse(source).body if isinstance(n, ast.FunctionDef)]
        for d in defs:
            d.body = [s for s in d.body if not (isinstance(s, ast.Expr) and isinstance(s.value, ast.Constant))]
        return {d.name: ast.dump(d) for d in defs}

    copied, examples = code(readme_program()), code((EXAMPLES / "motion.py").read_text())
    assert copied and copied == {name: examples.get(name) for name in copied}
