"""Every example started twice in a row on the same simulators, with its motors left away from
the start of its motion: each run moves them there without a jump, tracks, and leaves them
where it found them. The README's MotorGroup program too, which is group_sine.py's core with
the ramps of examples/motion.py."""

from __future__ import annotations

import ast
import os
import re
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

import sim
from velkarin import Damiao, MitSetpoint, SocketCanTransport

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
README_GROUP_SECTION = "## Many motors: `velkarin_group`"
# tools/test-all builds examples/cpp there; VELKARIN_SIX_MOTORS names another build.
SIX_MOTORS = Path(os.environ.get("VELKARIN_SIX_MOTORS", ROOT / "build" / "example" / "six_motors"))

AWAY = 2.0  # rad: where the motors wait, 2.5 to 3 rad from every example's start
JUMP = 1.0  # rad: a larger error than this means a jump towards the start, not tracking
RMS_LIMIT = 0.05  # rad: six_motors' own bound for tracking
PLACE_WAIT = 30.0  # seconds within which a motor must settle where it is sent
RUN_WAIT = 120.0
# Generous time-outs, so that a busy machine fails no round, and a short run at a gentle rate.
COMMON = ["--rate", "200", "--timeout-ms", "300", "--ramp-speed", "3"]
THREE = [f"{i}:{0x10 + i:#x}:DM4310" for i in (1, 2, 3)]
SIX = [f"{i}:{0x10 + i:#x}:DM4310" for i in range(1, 7)]

# Per motor: (rms, max) tracking error in rad, as each example prints it.
Parse = Callable[[str], list[tuple[float, float]]]


def track_sine_rows(out: str) -> list[tuple[float, float]]:
    return [(float(a), float(b)) for a, b in re.findall(r"tracking error +rms (\S+) rad, max (\S+) rad", out)]


def table_rows(out: str) -> list[tuple[float, float]]:
    """The motor table of group_sine.py and six_motors: rms and max after the counts."""
    rows = re.findall(r"^ *\w+ +(?:vcan\d +)?\d+ +(?:\d+ +)?(\d\.\d+) +(\d\.\d+)(?: +tracks)?$", out, re.M)
    return [(float(a), float(b)) for a, b in rows]


CASES = [
    pytest.param([sys.executable, str(EXAMPLES / "track_sine.py"), "--duration", "1", "--frequency", "1",
                  *COMMON], {"vcan0": ["1:0x11:DM4310"]}, track_sine_rows, id="track_sine"),
    pytest.param([sys.executable, str(EXAMPLES / "group_sine.py"), "--duration", "1", *COMMON],
                 {"vcan0": THREE, "vcan1": THREE}, table_rows, id="group_sine"),
    pytest.param([str(SIX_MOTORS), "--seconds", "1", *COMMON], {"vcan0": SIX}, table_rows,
                 id="six_motors"),
]  # fmt: skip


@pytest.fixture
def simulators(vcan: str, vcan1: str) -> Iterator[Callable[[dict[str, list[str]]], None]]:
    exe = sim.find_sim()
    assert exe is not None, "velkarin-sim not found"
    running: list[sim.Sim] = []
    yield lambda motors: running.extend(sim.Sim(exe, iface, m) for iface, m in motors.items())
    assert [s.stop() for s in running] == [0] * len(running)


def members(motors: dict[str, list[str]]) -> list[tuple[SocketCanTransport, Damiao]]:
    """The motors on buses of their own, opened now: a bus kept open through an example's run
    would hold every frame of it, and take the oldest on a master id as the next reply."""
    found = []
    for iface, specs in motors.items():
        bus = SocketCanTransport(iface)
        for spec in specs:
            motor_id, master_id, _ = spec.split(":")
            found.append((bus, Damiao(int(motor_id, 0), int(master_id, 0), timeout_ms=300)))
    return found


def place(motors: list[tuple[SocketCanTransport, Damiao]], pose: float) -> None:
    """Holds every motor at `pose` until all of them rest there, then disables them."""
    for bus, motor in motors:
        motor.enable(bus)
    deadline = time.monotonic() + PLACE_WAIT
    while True:
        states = [m.mit_control(bus, MitSetpoint(q=pose, kp=20, kd=2)) for bus, m in motors]
        if all(abs(s.position - pose) < 0.005 and abs(s.velocity) < 0.05 for s in states):
            break
        assert time.monotonic() < deadline, f"the motors did not settle at {pose} rad: {states}"
    for bus, motor in motors:
        motor.disable(bus)


@pytest.mark.requires_bus
@pytest.mark.parametrize(("command", "motors", "rows"), CASES)
def test_an_example_started_twice_moves_to_its_start_tracks_and_returns(
        simulators, command: list[str], motors: dict[str, list[str]], rows: Parse) -> None:
    if not Path(command[0]).exists():
        pytest.skip(f"{command[0]} is not built (tools/test-all builds it)")
    simulators(motors)
    place(members(motors), AWAY)
    for run in ("first", "second"):
        done = subprocess.run(command, capture_output=True, text=True, timeout=RUN_WAIT,
                              stdin=subprocess.DEVNULL)
        assert done.returncode == 0, f"{run} run:\n{done.stdout}{done.stderr}"
        errors = rows(done.stdout)
        assert len(errors) == sum(map(len, motors.values())), done.stdout
        assert all(rms < RMS_LIMIT and worst < JUMP for rms, worst in errors), f"{run} run:\n{done.stdout}"
        # Disabling answers with where each motor is, and moves none of them.
        left = [motor.disable(bus).position for bus, motor in members(motors)]
        assert all(abs(q - AWAY) < 0.05 for q in left), f"{run} run left the motors at {left}"


def readme_program() -> str:
    """The first Python block of the README's MotorGroup section, as a reader copies it."""
    text = (ROOT / "README.md").read_text()
    body = text[text.index(f"\n{README_GROUP_SECTION}\n"):]
    body = body[:body.find("\n## ", 1)]
    start = body.index("```python\n") + len("```python\n")
    return body[start:body.index("```", start)]


class _CodeAlone(ast.NodeTransformer):
    """A function without its docstring and annotations: what it does, not how it is typed."""

    def visit_FunctionDef(self, node: ast.FunctionDef) -> ast.FunctionDef:
        node.returns = None
        for arg in node.args.args:
            arg.annotation = None
        if node.body and isinstance(node.body[0], ast.Expr) and isinstance(node.body[0].value, ast.Constant):
            node.body = node.body[1:]
        self.generic_visit(node)
        return node


def functions(source: str) -> dict[str, str]:
    tree = _CodeAlone().visit(ast.parse(source))
    return {n.name: ast.dump(n) for n in tree.body if isinstance(n, ast.FunctionDef)}


@pytest.mark.requires_bus
def test_the_readme_group_program_runs_twice_and_ramps_as_the_examples_do(simulators, tmp_path) -> None:
    program = readme_program()
    copied = functions(program)
    assert copied and copied == {n: f for n, f in functions((EXAMPLES / "motion.py").read_text()).items()
                                 if n in copied}
    (tmp_path / "arm.py").write_text(program)
    motors = {"vcan0": THREE, "vcan1": THREE}
    simulators(motors)
    place(members(motors), 0.5)  # near, so that its ramps at 1 rad/s stay short
    for run in ("first", "second"):
        done = subprocess.run([sys.executable, str(tmp_path / "arm.py"), *motors], capture_output=True,
                              text=True, timeout=RUN_WAIT, stdin=subprocess.DEVNULL)
        assert done.returncode == 0, f"{run} run:\n{done.stdout}{done.stderr}"
        left = [motor.disable(bus).position for bus, motor in members(motors)]
        assert all(abs(q - 0.5) < 0.05 for q in left), f"{run} run left the motors at {left}"
