"""The side-by-side benchmark, run on the virtual CAN bus by bench/run: velkarin, python-can
with the MIT packing in plain Python, and a raw-socket C++ floor, against the same velkarin-sim
motor on the same interface, and against an in-process native responder; then the cycle rows
(one MIT command to every motor per cycle: Python and the C++ core one motor after another, the
C++ batched cycle and MotorGroup rounds, on the plain simulator and on the wire-timed one,
classic and CAN FD, each against the wire limit of its own frames), callgrind instruction
counts and a long run for memory and descriptors.

Prints one table with the ratios and writes results/latest.json and results/latency.png.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import select
import shutil
import signal
import subprocess
import sys
import time
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import velkarin  # noqa: E402
import velkarin_group  # noqa: E402

import stats  # noqa: E402
import worker  # noqa: E402
from python_can_client import Limits, pack_mit, unpack_feedback  # noqa: E402

SIM_IFACE = "vcan0"
INPROC_IFACE = "vcan1"  # the in-process responder gets a bus of its own: no sim answers there
MIT_MOTOR = worker.Motor(1, 0x11)
# velkarin-sim's motors for the contenders: one per control mode, each started in its mode.
MODE_MOTORS = {"mit": worker.Motor(1, 0x11), "pos_vel": worker.Motor(2, 0x12),
               "vel": worker.Motor(3, 0x13), "force_pos": worker.Motor(4, 0x14)}
SIX = worker.SIX
# The plain simulator's six-motor rows: the name of each and how it runs (python and group in
# Python, sequential and batched by bench/cycle); these also get callgrind and strace counts.
SIX_ROWS = {"Python, one motor after another": "python",
            "C++ core, one motor after another": "sequential",
            "C++ core, batched cycle": "batched",
            "MotorGroup, one bus": "group"}


# The worker's callgrind loops of the Python six-motor rows.
PYTHON_CYCLES = {"python": "velkarin-six", "group": "velkarin-group"}


def six_key(kind: str) -> str:
    """A six-motor row's name in the callgrind and strace results."""
    return f"six {kind}"


@dataclass(frozen=True)
class Setup:
    """The simulators of some cycle rows: one velkarin-sim per interface, each with DM4310s
    1..per_bus (master ids 0x11...), wire-timed at (bitrate, dbitrate) or plain vcan (None)."""

    key: str
    title: str
    ifaces: tuple[str, ...]
    per_bus: int
    rates: tuple[int, int] | None

    @property
    def fd(self) -> bool:
        """CAN FD frames with bit-rate switch: the motors start at an FD can_br code."""
        return bool(self.rates and self.rates[1])

    @property
    def wire_rates(self) -> tuple[int, int]:
        """The rates of the wire limit: the bus's, or classic 1 Mbit/s for plain vcan."""
        return self.rates or (1_000_000, 0)


@dataclass(frozen=True)
class CycleRow:
    name: str
    setup: Setup
    kind: str  # python, sequential, batched (bench/cycle) or group
    rate_hz: float | None = None  # paced by a velkarin_group.Ticker


PLAIN = Setup("plain", "six motors, plain simulator (vcan has no bit time)", (SIM_IFACE,), 6, None)
PLAIN_2x3 = Setup("plain-2x3", "six motors on two buses of three, plain simulator",
                  (SIM_IFACE, INPROC_IFACE), 3, None)
WIRE = Setup("wire", "six motors, wire-timed simulator, classic 1 Mbit/s", (SIM_IFACE,), 6,
             (1_000_000, 0))
FD = Setup("fd", "eight motors, wire-timed simulator, CAN FD 1/5 Mbit/s", (SIM_IFACE,), 8,
           (1_000_000, 5_000_000))
FD_2x8 = Setup("fd-2x8", "two buses of eight motors, wire-timed, CAN FD 1/5 Mbit/s",
               (SIM_IFACE, INPROC_IFACE), 8, (1_000_000, 5_000_000))
CYCLE_ROWS = [CycleRow(name, PLAIN, kind) for name, kind in SIX_ROWS.items()] + [
    CycleRow("MotorGroup, two buses of three", PLAIN_2x3, "group"),
    CycleRow("Python, one motor after another", WIRE, "python"),
    CycleRow("MotorGroup, one bus", WIRE, "group"),
    CycleRow("MotorGroup in a Ticker loop at 1 kHz", FD, "group", 1000.0),
    CycleRow("MotorGroup in a Ticker loop at 1 kHz", FD_2x8, "group", 1000.0),
]
SETUPS = list(dict.fromkeys(r.setup for r in CYCLE_ROWS))


# The floor making the calls of a deadline-bounded exchange (a clock read after the send, a
# clock read and SO_RCVTIMEO before each read): what velkarin's command does in the kernel.
FLOOR_DEADLINE = "floor, deadline calls"


def say(*parts: object) -> None:
    print("bench:", *parts, file=sys.stderr, flush=True)


# -- the virtual motor --------------------------------------------------------------------------


@contextmanager
def simulator(exe: str, iface: str, motors: list[tuple[worker.Motor, str]],
              rates: tuple[int, int] | None = None) -> Iterator[int]:
    """velkarin-sim serving `motors` (each with its start mode) on `iface`, wire-timed at
    `rates` (bitrate, dbitrate) if given, from its ready line until the block ends (which gets
    its process id); it is stopped on every way out, a signal to us included."""
    cmd = [exe, "--iface", iface]
    if rates:
        cmd += ["--bitrate", str(rates[0])] + (["--dbitrate", str(rates[1])] if rates[1] else [])
    for m, mode in motors:
        cmd += ["--motor", f"{m.motor_id}:{m.master_id:#x}:DM4310:{mode}"]
    # Leaving the Popen block closes the pipe to its stdout.
    with subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True) as proc:
        try:
            ready, _, _ = select.select([proc.stdout], [], [], 20.0)
            line = proc.stdout.readline() if ready else ""
            if "ready" not in line:
                raise RuntimeError(f"velkarin-sim did not get ready (said {line.strip()!r})")
            yield proc.pid
        finally:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(5)


# -- checks before measuring ---------------------------------------------------------------------


def check_same_frames(iface: str) -> dict:
    """Every MIT contender must put the same 8 bytes on the wire and read the same state back:
    a sniffer socket sees velkarin's command and the motor's reply, and the plain-Python
    codec must agree with both."""
    import can

    expected = pack_mit(Limits(), *worker.SETPOINT)
    sniffer = can.Bus(interface="socketcan", channel=iface)
    try:
        bus = velkarin.SocketCanTransport(iface)
        d = velkarin.Damiao(MIT_MOTOR.motor_id, MIT_MOTOR.master_id, timeout_ms=worker.TIMEOUT_MS)
        state = d.mit_control(bus, velkarin.MitSetpoint(*worker.SETPOINT))
        del bus
        seen = {}
        deadline = time.monotonic() + 2.0
        while len(seen) < 2 and time.monotonic() < deadline:
            msg = sniffer.recv(0.5)
            if msg is not None:
                seen.setdefault(msg.arbitration_id, bytes(msg.data))
    finally:
        sniffer.shutdown()
    sent = seen.get(MIT_MOTOR.motor_id)
    if sent != expected:
        raise RuntimeError(f"velkarin sent {sent!r}, the plain-Python packing gives {expected!r}")
    reply = seen.get(MIT_MOTOR.master_id)
    if reply is None:
        raise RuntimeError("the sniffer saw no reply")
    fb = unpack_feedback(Limits(), reply)
    for name in ("position", "velocity", "torque"):
        a, b = getattr(state, name), getattr(fb, name)
        if abs(a - b) > 1e-4 * max(1.0, abs(b)):
            raise RuntimeError(f"{name}: velkarin decoded {a}, plain Python {b}")
    return {"frame": expected.hex(), "reply": reply.hex()}


@contextmanager
def simulators(exe: str, setup: Setup) -> Iterator[list[int]]:
    """The setup's simulators, every motor enabled (in one round, in the setup's frame format);
    the block gets their process ids."""
    with ExitStack() as stack:
        motors = [(m, "mit") for m in worker.motors(setup.per_bus)]
        pids = [stack.enter_context(simulator(exe, iface, motors, setup.rates))
                for iface in setup.ifaces]
        buses = [velkarin.SocketCanTransport(i) for i in setup.ifaces]
        members = [(b, velkarin.Damiao(m.motor_id, m.master_id, timeout_ms=worker.TIMEOUT_MS))
                   for b in buses for m in worker.motors(setup.per_bus)]
        velkarin_group.MotorGroup(members, fd=setup.fd).enable()
        del members, buses
        yield pids


def process_cpu_ns(pids: list[int]) -> int:
    """The CPU time the processes have used so far (user and system, /proc/PID/stat)."""
    tick = os.sysconf("SC_CLK_TCK")
    total = 0
    for pid in pids:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime: fields 14 and 15
    return total * 1_000_000_000 // tick


Frame = tuple[int, bytes, bool, bool]  # identifier, data, FD, bit-rate switch


def cycle_frames(setup: Setup) -> dict[str, list[Frame]]:
    """Per bus, the frames of one cycle as a sniffer socket sees them: each motor's MIT command
    and its reply, for the wire limit (stuff bits depend on the bytes)."""
    import can

    wanted = {m.motor_id for m in worker.motors(setup.per_bus)} | {
        m.master_id for m in worker.motors(setup.per_bus)}
    sniffers = {i: can.Bus(interface="socketcan", channel=i, fd=True) for i in setup.ifaces}
    try:
        with worker.cycle_contender("group", list(setup.ifaces), setup.per_bus, setup.fd,
                                    None) as (call, _):
            call()
        seen: dict[str, dict[int, Frame]] = {i: {} for i in setup.ifaces}
        deadline = time.monotonic() + 2.0
        for iface, sniffer in sniffers.items():
            while len(seen[iface]) < len(wanted) and time.monotonic() < deadline:
                msg = sniffer.recv(0.5)
                if msg is not None and not msg.is_extended_id and msg.arbitration_id in wanted:
                    seen[iface].setdefault(msg.arbitration_id, (
                        msg.arbitration_id, bytes(msg.data), msg.is_fd, msg.bitrate_switch))
    finally:
        for sniffer in sniffers.values():
            sniffer.shutdown()
    for iface, frames in seen.items():
        if len(frames) < len(wanted):
            raise RuntimeError(f"the sniffer saw {len(frames)} of the cycle's {len(wanted)} "
                               f"frames on {iface}")
    return {iface: [frames[k] for k in sorted(frames)] for iface, frames in seen.items()}


def cansend_text(frame: Frame) -> str:
    """A frame in cansend's notation: ID#DATA classic, ID##F DATA for FD (F 1: bit-rate switch)."""
    can_id, data, fd, brs = frame
    return f"{can_id:03X}#" + (f"#{int(brs)}" if fd else "") + data.hex().upper()


def wire_limit(program: str, frames: dict[str, list[Frame]], rates: tuple[int, int]) -> dict:
    """The least time one cycle takes: each bus's frames back to back at `rates`, the busiest
    bus deciding (buses carry their frames at the same time). Bits and times come from the
    core's computation (bench/wire_bits.cpp)."""
    per_bus = {}
    for iface, fs in frames.items():
        cmd = [program, "--bitrate", str(rates[0])] + (["--dbitrate", str(rates[1])] if rates[1] else [])
        out = subprocess.run(cmd, input="".join(cansend_text(f) + "\n" for f in fs),
                             capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            raise RuntimeError(f"wire_bits failed: {out.stderr.strip()}")
        per_bus[iface] = json.loads(out.stdout)
    busiest = max(per_bus.values(), key=lambda r: r["ns"])
    us = busiest["ns"] / 1e3
    return {"rates": list(rates), "frames": len(busiest["frames"]), "bits": busiest["bits"],
            "nominal_bits": sum(f["nominal_bits"] for f in busiest["frames"]),
            "data_bits": sum(f["data_bits"] for f in busiest["frames"]),
            "frame_bits": [f["nominal_bits"] + f["data_bits"] for f in busiest["frames"]],
            "buses": len(per_bus), "cycle_us": us, "cycles_per_s": 1e6 / us}


# -- rows of the table ----------------------------------------------------------------------------


class Bench:
    def __init__(self, a: argparse.Namespace) -> None:
        self.a = a
        self.build = Path(a.build)
        self.floor = str(self.build / "floor")
        self.cycle = str(self.build / "cpp" / "cycle")
        self.wire_bits = str(self.build / "cpp" / "wire_bits")
        self.responder_lib = str(self.build / "libinproc_responder.so")
        self.payload = pack_mit(Limits(), *worker.SETPOINT).hex()

    def floor_run(self, iface: str, motor: worker.Motor, stamped: bool, inproc: bool,
                  deadline: bool) -> dict:
        cmd = [self.floor, "--iface", iface, "--id", str(motor.motor_id),
               "--master", str(motor.master_id), "--payload", self.payload,
               "--iterations", str(self.a.iterations), "--warmup", str(self.a.warmup)]
        if stamped:
            cmd.append("--stamps")
        if deadline:
            cmd.append("--deadline")
        if inproc:
            cmd += ["--responder", self.responder_lib]
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=self.bound())
        if out.returncode != 0:
            raise RuntimeError(f"floor failed: {out.stderr.strip()}")
        return json.loads(out.stdout)

    def bound(self) -> float:
        """A generous bound on one run: 20 ms per command."""
        return 60 + 0.02 * (self.a.iterations + self.a.warmup)

    def python_run(self, name: str, iface: str, motor: worker.Motor, stamped: bool,
                   inproc: bool) -> dict:
        if not inproc:
            return worker.run(name, iface, motor, self.a.iterations, self.a.warmup, stamped)
        responder = worker.InprocResponder(self.responder_lib)
        with responder.serving(iface, motor.motor_id, motor.master_id) as answered:
            r = worker.run(name, iface, motor, self.a.iterations, self.a.warmup, stamped)
        r["answered"] = answered[0]
        return r

    def one(self, row: stats.Row, stamped: bool) -> dict:
        inproc = row.responder == "inproc"
        iface = INPROC_IFACE if inproc else SIM_IFACE
        kind = row.name.removeprefix("velkarin control ")
        motor = MODE_MOTORS.get(kind, MIT_MOTOR)
        if row.name.startswith("floor"):
            r = self.floor_run(iface, motor, stamped, inproc, row.name == FLOOR_DEADLINE)
        else:
            r = self.python_run(row.name, iface, motor, stamped, inproc)
        if inproc and r["answered"] < r["iterations"]:
            raise RuntimeError(f"{row.name}: the responder answered {r['answered']} frames")
        return r

    def table(self) -> list[stats.Row]:
        names = ["floor", FLOOR_DEADLINE, "velkarin mit_control",
                 "velkarin mit_control, new setpoint", "python-can"]
        rows = [stats.Row(n, "sim") for n in names]
        rows += [stats.Row(f"velkarin control {k}", "sim") for k in MODE_MOTORS]
        rows += [stats.Row(n, "inproc") for n in names]
        # Repetitions go round all rows in turn, so that a slow moment of the machine falls on
        # every contender alike instead of on one.
        for rep in range(self.a.reps):
            t0 = time.monotonic()
            for row in rows:
                row.plain.append(self.one(row, stamped=False))
                row.stamped.append(self.one(row, stamped=True))
            say(f"repetition {rep + 1}/{self.a.reps} done in {time.monotonic() - t0:.0f} s")
        return rows

    # -- six motors ---------------------------------------------------------------------------

    def cycle_cmd(self, mode: str, cycles: int, warmup: int) -> list[str]:
        return [self.cycle, "--iface", SIM_IFACE, "--mode", mode,
                "--setpoint", ",".join(str(x) for x in worker.SETPOINT),
                "--motors", str(len(SIX)), "--timeout-ms", str(worker.TIMEOUT_MS),
                "--iterations", str(cycles), "--warmup", str(warmup)]

    def cycle_run(self, row: CycleRow, sims: list[int], stamped: bool) -> dict:
        """One measured run of a cycle row, with the CPU time its simulators used meanwhile:
        `iterations` ticks when paced, else a cycle per motor command the table's rows make
        (at least 100)."""
        before = process_cpu_ns(sims)
        r = self.cycle_loop(row, stamped)
        r["sim_cpu_ns"] = process_cpu_ns(sims) - before
        return r

    def cycle_loop(self, row: CycleRow, stamped: bool) -> dict:
        motors = row.setup.per_bus * len(row.setup.ifaces)
        cycles = self.a.iterations if row.rate_hz else max(self.a.iterations // motors, 100)
        warmup = self.a.warmup // motors
        if row.kind in ("python", "group"):
            return worker.cycle_run(row.kind, list(row.setup.ifaces), row.setup.per_bus,
                                    row.setup.fd, row.rate_hz, cycles, warmup, stamped)
        cmd = self.cycle_cmd(row.kind, cycles, warmup) + (["--stamps"] if stamped else [])
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=self.bound())
        if out.returncode != 0:
            raise RuntimeError(f"cycle --mode {row.kind} failed: {out.stderr.strip()}")
        return json.loads(out.stdout)

    def cycle_rows(self) -> tuple[list[stats.Row], dict[str, dict]]:
        """The cycle rows and each setup's wire limit. A repetition goes round the setups and
        their rows in turn, starting the setup's simulators afresh, so that a slow moment of
        the machine falls on every row alike."""
        rows = [stats.Row(r.name, r.setup.key) for r in CYCLE_ROWS]
        wire: dict[str, dict] = {}
        for rep in range(self.a.reps):
            for setup in SETUPS:
                with simulators(self.a.sim, setup) as sims:
                    if setup.key not in wire:
                        wire[setup.key] = wire_limit(self.wire_bits, cycle_frames(setup),
                                                     setup.wire_rates)
                    for cycle, row in zip(CYCLE_ROWS, rows):
                        if cycle.setup == setup:
                            row.plain.append(self.cycle_run(cycle, sims, stamped=False))
                            row.stamped.append(self.cycle_run(cycle, sims, stamped=True))
            say(f"cycle repetition {rep + 1}/{self.a.reps} done")
        return rows, wire

    # -- callgrind ----------------------------------------------------------------------------

    def callgrind(self, outdir: Path) -> dict | None:
        valgrind = shutil.which("valgrind")
        if valgrind is None:
            say("valgrind missing: no instruction counts")
            return None
        n = self.a.callgrind_count
        py_env = dict(os.environ)
        # The unstripped build of the same module, so that its functions have names.
        if self.a.symbols_build:
            py_env["PYTHONPATH"] = self.a.symbols_build
        runs = {
            "velkarin": [sys.executable, str(HERE / "worker.py"), "callgrind", "velkarin",
                         "--count", str(n), "--toggle", self.responder_lib],
            "python-can": [sys.executable, str(HERE / "worker.py"), "callgrind", "python-can",
                           "--count", str(n), "--toggle", self.responder_lib],
            "floor": [self.floor, "--iface", SIM_IFACE, "--payload", self.payload,
                      "--iterations", str(n), "--warmup", "50", "--callgrind"],
        }
        # The plain simulator's six-motor rows, per cycle of six commands.
        cycles = max(n // len(SIX), 10)
        for kind in SIX_ROWS.values():
            runs[six_key(kind)] = (
                [sys.executable, str(HERE / "worker.py"), "callgrind", PYTHON_CYCLES[kind],
                 "--count", str(cycles), "--toggle", self.responder_lib] if kind in PYTHON_CYCLES
                else self.cycle_cmd(kind, cycles, 10) + ["--callgrind"])
        result: dict = {"commands": n, "module": self.a.symbols_build or "installed"}
        for name, cmd in runs.items():
            out = outdir / f"callgrind.{name.replace(' ', '-')}.out"
            per = cycles if name.startswith("six") else n
            say(f"callgrind: {name} ({per} {'cycles' if name.startswith('six') else 'commands'})")
            t0 = time.monotonic()
            p = subprocess.run([valgrind, "--tool=callgrind", "--collect-atstart=no",
                                f"--callgrind-out-file={out}", *cmd],
                               capture_output=True, text=True, env=py_env, timeout=1800)
            if p.returncode != 0:
                raise RuntimeError(f"callgrind {name} failed: {p.stderr[-2000:]}")
            total = stats.callgrind_total(out.read_text())
            entry = {"instructions_per_command": total / per, "seconds": time.monotonic() - t0}
            for mode, flag in (("self", "--inclusive=no"), ("inclusive", "--inclusive=yes")):
                ann = subprocess.run(["callgrind_annotate", flag, str(out)], capture_output=True,
                                     text=True, timeout=300)
                top = stats.annotate_top(ann.stdout, 60)
                if mode == "inclusive":
                    # Everything that encloses the whole loop (main, the eval loop) is 100 %.
                    top = [t for t in top if t["percent"] < 99.0]
                entry[f"top5_{mode}"] = [dict(t, per_command=t["ir"] / per) for t in top[:5]]
                if name == "velkarin" and mode == "inclusive":
                    inside = [t for t in top if "mit_control(" in t["function"]]
                    if inside:
                        entry["inside_mit_control_per_command"] = inside[0]["ir"] / n
            result[name] = entry
        return result

    # -- system calls -------------------------------------------------------------------------

    def syscalls(self, outdir: Path) -> dict | None:
        """System calls per command of each contender: strace -c over two runs of N and 2N
        commands, differenced, so start-up and imports drop out."""
        strace = shutil.which("strace")
        if strace is None:
            say("strace missing: no system call counts")
            return None
        n = self.a.strace_count
        result: dict = {"commands": n}
        cycles = {six_key(kind): kind for kind in SIX_ROWS.values()}
        for name in ("floor", "velkarin", "python-can", *cycles):
            counts = []
            per = max(n // len(SIX), 10) if name in cycles else n
            for count in (per, 2 * per):
                if name == "floor":
                    cmd = [self.floor, "--iface", SIM_IFACE, "--payload", self.payload,
                           "--iterations", str(count), "--warmup", "0"]
                elif name in cycles and cycles[name] not in PYTHON_CYCLES:
                    cmd = self.cycle_cmd(cycles[name], count, 0)
                else:
                    # The callgrind loop: outside valgrind its toggles do nothing.
                    which = PYTHON_CYCLES[cycles[name]] if name in cycles else name
                    cmd = [sys.executable, str(HERE / "worker.py"), "callgrind", which,
                           "--count", str(count), "--toggle", self.responder_lib]
                out = outdir / f"strace.{name.replace(' ', '-')}.{count}.txt"
                p = subprocess.run([strace, "-f", "-c", "-o", str(out), *cmd],
                                   capture_output=True, text=True, timeout=600)
                if p.returncode != 0:
                    raise RuntimeError(f"strace {name} failed: {p.stderr[-2000:]}")
                counts.append(stats.strace_counts(out.read_text()))
            calls = stats.calls_per_command(counts[0], counts[1], per)
            result[name] = {"per_command": calls, "total_per_command": sum(calls.values())}
        return result

    # -- long run -----------------------------------------------------------------------------

    def soak(self) -> dict:
        cmd = [sys.executable, str(HERE / "worker.py"), "soak", "--count", str(self.a.count),
               "--iface", SIM_IFACE]
        say(f"long run: {self.a.count} mit_control commands")
        # stderr passes through: the progress lines.
        p = subprocess.run(cmd, stdout=subprocess.PIPE, text=True,
                           timeout=300 + 0.02 * self.a.count)
        if p.returncode != 0:
            raise RuntimeError("the long run failed")
        return json.loads(p.stdout)


# -- machine facts ------------------------------------------------------------------------------


def calibrate(n: int = 2000) -> dict:
    """What one system call, one clock read and one wake-up of another process cost here:
    inside user-mode-linux each is a trap to the guest kernel, which decides most of what a
    round trip costs."""
    t0 = time.perf_counter_ns()
    for _ in range(n):
        os.getppid()
    t1 = time.perf_counter_ns()
    for _ in range(n):
        time.perf_counter_ns()
    t2 = time.perf_counter_ns()
    # The timed waits run in a process of their own: they set its timer slack.
    timer = subprocess.run([sys.executable, str(HERE / "worker.py"), "timer", "--count", "1000"],
                           capture_output=True, text=True, check=True, timeout=120)
    return {"getppid_us": (t1 - t0) / n / 1e3, "clock_read_us": (t2 - t1) / n / 1e3,
            "pipe_round_trip_us": worker.pipe_round_trip(n)["round_trip_us"],
            "timer_overshoot_us": json.loads(timer.stdout)["overshoot_us"]}


def machine() -> dict:
    cpu = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    import can

    return {
        "kernel": platform.release(),
        "cores_seen": os.cpu_count(),
        "cpu": cpu,
        "host_kernel": os.environ.get("BENCH_HOST_KERNEL", ""),
        "host_cores": os.environ.get("BENCH_HOST_CORES", ""),
        "host_cpu": os.environ.get("BENCH_HOST_CPU", ""),
        "host_load_at_start": os.environ.get("BENCH_HOST_LOAD", ""),
        "host_getppid_us": float(os.environ.get("BENCH_HOST_GETPPID_US", "nan")),
        "host_pipe_round_trip_us": float(os.environ.get("BENCH_HOST_PIPE_RT_US", "nan")),
        "host_timer_overshoot_us": float(os.environ.get("BENCH_HOST_TIMER_US", "nan")),
        "host_instructions_per_us": float(os.environ.get("BENCH_HOST_INSTR_PER_US", "nan")),
        "python": platform.python_version(),
        "velkarin": velkarin.__version__,
        "python_can": can.__version__,
    }


# -- report -------------------------------------------------------------------------------------


def ratios(summaries: list[dict]) -> dict:
    by = {(s["name"], s["responder"]): s for s in summaries}
    out = {}
    for resp in ("sim", "inproc"):
        fl, vk, pc = by[("floor", resp)], by[("velkarin mit_control", resp)], by[("python-can", resp)]
        fd = by[(FLOOR_DEADLINE, resp)]
        out[resp] = {
            "velkarin_over_floor_deadline_round_trip": stats.ratio(vk["latency_us"]["median"],
                                                                   fd["latency_us"]["median"]),
            "floor_deadline_over_floor_cpu": stats.ratio(fd["cpu_us_per_command"]["median"],
                                                         fl["cpu_us_per_command"]["median"]),
            "velkarin_over_floor_round_trip": stats.ratio(vk["latency_us"]["median"],
                                                          fl["latency_us"]["median"]),
            "velkarin_over_floor_rate": stats.ratio(fl["round_trips_per_s"]["median"],
                                                    vk["round_trips_per_s"]["median"]),
            "velkarin_over_floor_cpu": stats.ratio(vk["cpu_us_per_command"]["median"],
                                                   fl["cpu_us_per_command"]["median"]),
            "python_can_over_velkarin_round_trip": stats.ratio(pc["latency_us"]["median"],
                                                               vk["latency_us"]["median"]),
            "python_can_over_velkarin_cpu": stats.ratio(pc["cpu_us_per_command"]["median"],
                                                        vk["cpu_us_per_command"]["median"]),
        }
    return out


def rates_text(rates: list[int]) -> str:
    nominal, data = rates
    return f"{nominal / 1e6:g}/{data / 1e6:g} Mbit/s" if data else f"{nominal / 1e6:g} Mbit/s"


def cycle_report(cycles: dict, cg: dict, sc: dict) -> str:
    """The cycle rows by setup: rate, period median and p99, missed ticks when paced, the CPU
    time per cycle of the measuring thread and of the simulators, system calls (plain
    six-motor rows) and waits per cycle, and each row's median period over the wire time of
    its own frames at its setup's rates."""
    head = (f"{'cycles: one MIT command to every motor':<42} {'cyc/s':>6} {'±%':>4} {'p50':>6} "
            f"{'p99':>6} {'missed':>6} {'cpu':>5} {'sim':>5} {'calls':>5} {'waits':>5} {'x wire':>6}")
    unit = (f"{'':<42} {'':>6} {'':>4} {'µs':>6} {'µs':>6} {'ticks':>6} {'µs':>5} {'µs':>5} "
            f"{'/cyc':>5} {'/cyc':>5} {'':>6}")
    lines = [head, unit, "-" * len(head)]
    by_key = {(s["responder"], s["name"]): s for s in cycles["rows"]}
    for setup in SETUPS:
        w = cycles["wire"][setup.key]
        lines.append(f"{setup.title}:")
        for cycle in CYCLE_ROWS:
            if cycle.setup != setup:
                continue
            s = by_key[(setup.key, cycle.name)]
            rate, lat = s["round_trips_per_s"], s["latency_us"]
            calls = sc.get(six_key(cycle.kind), {}).get("total_per_command") if setup == PLAIN else None
            missed, sim = s.get("missed_ticks"), s.get("sim_cpu_us_per_iteration")
            cells = [f"{100 * missed:>5.1f}%" if missed is not None else f"{'-':>6}",
                     f"{s['cpu_us_per_command']['median']:>5.0f}",
                     f"{sim['median']:>5.0f}" if sim else f"{'':>5}",
                     f"{calls:>5.0f}" if calls else f"{'':>5}",
                     f"{s['switches_per_iteration']['voluntary']:>5.1f}"]
            lines.append(f"  {cycle.name:<40} {rate['median']:>6.0f} {100 * rate['spread']:>4.0f} "
                         f"{lat['median']:>6.0f} {lat['p99']:>6.0f} {' '.join(cells)} "
                         f"{lat['median'] / w['cycle_us']:>6.2f}")
        bits = (f"{w['nominal_bits']} nominal + {w['data_bits']} data bits" if w["data_bits"]
                else f"{w['bits']} bits")
        where = "per bus" if w["buses"] > 1 else "on the bus"
        lines.append(f"  {'wire limit: ' + str(w['frames']) + ' frames ' + where:<40} "
                     f"{w['cycles_per_s']:>6.0f} {'':>4} {w['cycle_us']:>6.0f} {'':>6} {'':>6} "
                     f"{'':>5} {'':>5} {'':>5} {'':>5} {1:>6.2f}")
        lines.append(f"    {bits} at {rates_text(w['rates'])} "
                     f"({', '.join(map(str, w['frame_bits']))})")
    lines.append("  p50, p99: the period from one cycle's end to the next's; missed: ticks that passed"
                 " without a wait; cpu: the measuring thread's CPU time per cycle; sim: the"
                 " simulators'; waits: times per cycle the measuring thread blocked (voluntary"
                 " context switches)")
    for setup in (PLAIN, WIRE):
        py = by_key[(setup.key, "Python, one motor after another")]["round_trips_per_s"]["median"]
        group = by_key[(setup.key, "MotorGroup, one bus")]["round_trips_per_s"]["median"]
        lines.append(f"  MotorGroup / Python one after another, {setup.title}: "
                     f"{stats.ratio(group, py):.2f}x cycles per second")
    instr = [f"{name} {cg[six_key(kind)]['instructions_per_command']:.0f}"
             for name, kind in SIX_ROWS.items() if six_key(kind) in cg]
    if instr:
        lines.append("  user-space instructions per six-motor cycle (callgrind): " + ", ".join(instr))
    return "\n".join(lines)


def report(res: dict) -> str:
    lines = [stats.format_table(res["rows"]), ""]
    for resp, r in res["ratios"].items():
        lines.append(
            f"ratios ({resp}): velkarin/floor round trip {r['velkarin_over_floor_round_trip']:.2f}"
            f" (rate {r['velkarin_over_floor_rate']:.2f}, cpu {r['velkarin_over_floor_cpu']:.2f});"
            f" python-can/velkarin round trip {r['python_can_over_velkarin_round_trip']:.2f},"
            f" cpu {r['python_can_over_velkarin_cpu']:.2f}; velkarin/(floor, deadline calls)"
            f" round trip {r['velkarin_over_floor_deadline_round_trip']:.2f}")
    cycles = res.get("cycles")
    if cycles:
        lines += ["", cycle_report(cycles, res.get("callgrind") or {}, res.get("syscalls") or {}), ""]
    cg = res.get("callgrind")
    if cg:
        parts = [f"{k} {cg[k]['instructions_per_command']:.0f}" for k in ("floor", "velkarin", "python-can")]
        inside = cg["velkarin"].get("inside_mit_control_per_command")
        lines.append("user-space instructions per command (callgrind): " + ", ".join(parts)
                     + (f"; inside Damiao.mit_control {inside:.0f}" if inside else ""))
        rate = res["machine"]["host_instructions_per_us"]
        if rate == rate:  # not NaN
            us = cg["velkarin"]["instructions_per_command"] / rate
            lines.append(f"  = {us:.2f} µs of this CPU at its {rate:.0f} instructions/µs; one "
                         f"system call costs {res['machine']['host_getppid_us']:.2f} µs on the host, "
                         f"{res['calibration']['getppid_us']:.1f} µs in this guest")
        for t in cg["velkarin"]["top5_inclusive"]:
            lines.append(f"  velkarin inclusive {t['per_command']:>8.0f}  {t['function'][:90]}")
        for t in cg["velkarin"]["top5_self"]:
            lines.append(f"  velkarin self      {t['per_command']:>8.0f}  {t['function'][:90]}")
    sc = res.get("syscalls")
    if sc:
        for k in ("floor", "velkarin", "python-can"):
            calls = ", ".join(f"{name} {v:g}" for name, v in sc[k]["per_command"].items())
            lines.append(f"system calls per command, {k}: {sc[k]['total_per_command']:g} ({calls})")
    soak = res.get("soak")
    if soak:
        a, e = soak["after_warmup"], soak["at_end"]
        lines.append(
            f"after {soak['commands']} commands ({soak['failed']} failed, {soak['seconds']:.0f} s): "
            f"VmHWM {a['vm_hwm_kb']} -> {e['vm_hwm_kb']} kB, descriptors {a['descriptors']} -> "
            f"{e['descriptors']} ({soak['descriptors_after_close']} after the bus closed), "
            f"gc objects {a['gc_objects']} -> {e['gc_objects']}")
    cal = res["calibration"]
    lines.append(f"this machine: one system call {cal['getppid_us']:.1f} µs, one clock read "
                 f"{cal['clock_read_us']:.1f} µs (kernel {res['machine']['kernel']}, "
                 f"{res['machine']['cores_seen']} core(s) seen)")
    lines += machine_cost_lines(res)
    return "\n".join(lines)


def machine_cost_lines(res: dict) -> list[str]:
    """What the machine itself costs a cycle: a wake-up of a blocked process from the pipe
    round trip (less its four system calls), and per plain six-motor row, the measuring
    process's own system calls and waits at those costs (the simulator's come on top)."""
    cal, host = res["calibration"], res["machine"]
    wake = max(cal["pipe_round_trip_us"] - 4 * cal["getppid_us"], 0.0) / 2
    lines = [f"  a pipe round trip to another process: {cal['pipe_round_trip_us']:.0f} µs here, "
             f"{host['host_pipe_round_trip_us']:.1f} µs on the host; one wake-up here about "
             f"{wake:.0f} µs beyond its system calls",
             f"  a timed wait of 100 µs (timer slack 1 ns) returns {cal['timer_overshoot_us']:.0f} µs "
             f"late here, {host['host_timer_overshoot_us']:.0f} µs on the host"]
    sc, cycles = res.get("syscalls"), res.get("cycles")
    if not sc or not cycles:
        return lines
    costs = []
    for s in cycles["rows"]:
        kind = SIX_ROWS.get(s["name"]) if s["responder"] == PLAIN.key else None
        if kind is None or six_key(kind) not in sc:
            continue
        calls = sc[six_key(kind)]["total_per_command"]
        waits = s["switches_per_iteration"]["voluntary"]
        costs.append(f"{s['name']} {calls * cal['getppid_us'] + waits * wake:.0f} µs "
                     f"({calls:.0f} calls, {waits:.1f} waits)")
    lines.append("  the measuring process's own system calls and wake-ups per six-motor cycle here: "
                 + "; ".join(costs))
    return lines


def plot(res: dict, raw: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    for ax, resp, title in ((axes[0], "sim", "velkarin-sim in another process"),
                            (axes[1], "inproc", "native responder thread in the caller")):
        names = ["floor", FLOOR_DEADLINE, "velkarin mit_control", "python-can"]
        data = {n: [x / 1e3 for x in raw[(n, resp)]] for n in names}
        top = max(stats.percentile(sorted(v), 99) for v in data.values()) * 1.3
        for n in names:
            ax.hist([x for x in data[n] if x <= top], bins=120, histtype="step", density=True,
                    label=n)
        ax.set_title(f"round trip, {title}")
        ax.set_xlabel("µs per command (clipped at 1.3 × the largest p99)")
        ax.set_ylabel("density")
        ax.legend()
    fig.suptitle(f"velkarin {res['machine']['velkarin']} on {res['machine']['kernel']}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="directory with floor and libinproc_responder.so")
    p.add_argument("--sim", default=shutil.which("velkarin-sim") or "velkarin-sim")
    p.add_argument("--out", default=str(HERE / "results"))
    p.add_argument("--reps", type=int, default=9)
    p.add_argument("--iterations", type=int, default=2000, help="commands per measured run")
    p.add_argument("--warmup", type=int, default=300)
    p.add_argument("--count", type=int, default=1_000_000, help="commands of the long run")
    p.add_argument("--callgrind-count", type=int, default=2000)
    p.add_argument("--strace-count", type=int, default=500)
    p.add_argument("--symbols-build", default="", help="directory of an unstripped velkarin module")
    p.add_argument("--skip", action="append", default=[], choices=["callgrind", "soak", "cycles", "strace"])
    a = p.parse_args(argv)

    out = Path(a.out)
    out.mkdir(parents=True, exist_ok=True)
    # A guest console can hand us a non-blocking stdout; the table is written in one go.
    os.set_blocking(sys.stdout.fileno(), True)
    # A TERM from the harness's time bound unwinds through the finally blocks: the sim stops.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    b = Bench(a)
    res: dict = {"machine": machine(), "calibration": calibrate(),
                 "settings": {k: v for k, v in vars(a).items() if k not in ("build", "sim", "out")},
                 "setpoint": dict(zip(("q", "dq", "kp", "kd", "tau"), worker.SETPOINT))}
    started = time.monotonic()
    with simulator(a.sim, SIM_IFACE, [(MODE_MOTORS[k], k) for k in MODE_MOTORS]):
        bus = velkarin.SocketCanTransport(SIM_IFACE)
        for m in MODE_MOTORS.values():
            velkarin.Damiao(m.motor_id, m.master_id, timeout_ms=worker.TIMEOUT_MS).enable(bus)
        del bus
        res["wire"] = check_same_frames(SIM_IFACE)
        rows = b.table()
    res["rows"] = [r.summary() for r in rows]
    res["ratios"] = ratios(res["rows"])
    raw = {(r.name, r.responder): [x for s in r.stamped for x in s["lat_ns"]] for r in rows}
    say(f"table done in {time.monotonic() - started:.0f} s")

    if "cycles" not in a.skip:
        rows, wire = b.cycle_rows()
        res["cycles"] = {"wire": wire, "rows": [r.summary() for r in rows]}
    with simulators(a.sim, PLAIN):
        if "callgrind" not in a.skip:
            res["callgrind"] = b.callgrind(out)
        if "strace" not in a.skip:
            res["syscalls"] = b.syscalls(out)
        if "soak" not in a.skip:
            res["soak"] = b.soak()
    res["seconds"] = time.monotonic() - started

    (out / "latest.json").write_text(json.dumps(res, indent=2) + "\n")
    plot(res, raw, out / "latency.png")
    text = report(res)
    (out / "report.txt").write_text(text + "\n")
    print(text, flush=True)
    say(f"wrote {out / 'latest.json'}, {out / 'report.txt'} and {out / 'latency.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
