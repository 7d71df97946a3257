"""The side-by-side benchmark, run on the virtual CAN bus by bench/run: velkarin, python-can
with the MIT packing in plain Python, and a raw-socket C++ floor, against the same velkarin-sim
motor on the same interface, and against an in-process native responder; then the six-motor
cycle rows (Python and the C++ core one motor after another, the C++ batched cycle, the wire
limit), callgrind instruction counts and a long run for memory and descriptors.

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
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import velkarin  # noqa: E402

import stats  # noqa: E402
import wire  # noqa: E402
import worker  # noqa: E402
from python_can_client import Limits, pack_mit, unpack_feedback  # noqa: E402

SIM_IFACE = "vcan0"
INPROC_IFACE = "vcan1"  # the in-process responder gets a bus of its own: no sim answers there
MIT_MOTOR = worker.Motor(1, 0x11)
# velkarin-sim's motors for the contenders: one per control mode, each started in its mode.
MODE_MOTORS = {"mit": worker.Motor(1, 0x11), "pos_vel": worker.Motor(2, 0x12),
               "vel": worker.Motor(3, 0x13), "force_pos": worker.Motor(4, 0x14)}
SIX = worker.SIX
# The six-motor cycle rows: the name of each and how bench/cycle runs it (None: in Python).
SIX_ROWS = {"Python, one motor after another": None,
            "C++ core, one motor after another": "sequential",
            "C++ core, batched cycle": "batched"}


def six_key(mode: str | None) -> str:
    """A cycle row's name in the callgrind and strace results."""
    return f"six {mode or 'python'}"
# The floor making the calls of a deadline-bounded exchange (a clock read after the send, a
# clock read and SO_RCVTIMEO before each read): what velkarin's command does in the kernel.
FLOOR_DEADLINE = "floor, deadline calls"


def say(*parts: object) -> None:
    print("bench:", *parts, file=sys.stderr, flush=True)


# -- the virtual motor --------------------------------------------------------------------------


@contextmanager
def simulator(exe: str, iface: str, motors: list[tuple[worker.Motor, str]]) -> Iterator[None]:
    """velkarin-sim serving `motors` (each with its start mode) on `iface`, from its ready line
    until the block ends; it is stopped on every way out, a signal to us included."""
    cmd = [exe, "--iface", iface]
    for m, mode in motors:
        cmd += ["--motor", f"{m.motor_id}:{m.master_id:#x}:DM4310:{mode}"]
    # Leaving the Popen block closes the pipe to its stdout.
    with subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True) as proc:
        try:
            ready, _, _ = select.select([proc.stdout], [], [], 20.0)
            line = proc.stdout.readline() if ready else ""
            if "ready" not in line:
                raise RuntimeError(f"velkarin-sim did not get ready (said {line.strip()!r})")
            yield
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


def cycle_frames(iface: str) -> list[tuple[int, bytes]]:
    """The twelve frames of one six-motor cycle as a sniffer socket sees them: each motor's MIT
    command and its reply, for the wire limit (stuff bits depend on the bytes)."""
    import can

    wanted = {m.motor_id for m in SIX} | {m.master_id for m in SIX}
    sniffer = can.Bus(interface="socketcan", channel=iface)
    try:
        bus = velkarin.SocketCanTransport(iface)
        sp = velkarin.MitSetpoint(*worker.SETPOINT)
        for m in SIX:
            velkarin.Damiao(m.motor_id, m.master_id, timeout_ms=worker.TIMEOUT_MS).mit_control(bus, sp)
        del bus
        seen: dict[int, bytes] = {}
        deadline = time.monotonic() + 2.0
        while len(seen) < len(wanted) and time.monotonic() < deadline:
            msg = sniffer.recv(0.5)
            if msg is not None and not msg.is_extended_id and msg.arbitration_id in wanted:
                seen.setdefault(msg.arbitration_id, bytes(msg.data))
    finally:
        sniffer.shutdown()
    if len(seen) < len(wanted):
        raise RuntimeError(f"the sniffer saw {len(seen)} of the cycle's {len(wanted)} frames")
    return sorted(seen.items())


# -- rows of the table ----------------------------------------------------------------------------


class Bench:
    def __init__(self, a: argparse.Namespace) -> None:
        self.a = a
        self.build = Path(a.build)
        self.floor = str(self.build / "floor")
        self.cycle = str(self.build / "cpp" / "cycle")
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

    def six_run(self, mode: str | None, cycles: int, stamped: bool) -> dict:
        warmup = self.a.warmup // len(SIX)
        if mode is None:
            return worker.run(worker.SIX_CYCLE, SIM_IFACE, SIX[0], cycles, warmup, stamped)
        cmd = self.cycle_cmd(mode, cycles, warmup) + (["--stamps"] if stamped else [])
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=self.bound())
        if out.returncode != 0:
            raise RuntimeError(f"cycle --mode {mode} failed: {out.stderr.strip()}")
        return json.loads(out.stdout)

    def six_motor_rows(self) -> list[stats.Row]:
        """The cycle rows, one MIT command per motor and cycle; like the table, repetitions go
        round the rows in turn."""
        cycles = max(self.a.iterations // len(SIX), 100)
        rows = [stats.Row(name, "sim") for name in SIX_ROWS]
        for rep in range(self.a.reps):
            for row in rows:
                row.plain.append(self.six_run(SIX_ROWS[row.name], cycles, stamped=False))
                row.stamped.append(self.six_run(SIX_ROWS[row.name], cycles, stamped=True))
            say(f"six-motor repetition {rep + 1}/{self.a.reps} done")
        return rows

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
        # The cycle rows, per cycle of six commands.
        cycles = max(n // len(SIX), 10)
        for mode in SIX_ROWS.values():
            runs[six_key(mode)] = (
                [sys.executable, str(HERE / "worker.py"), "callgrind", "velkarin-six", "--count",
                 str(cycles), "--toggle", self.responder_lib] if mode is None
                else self.cycle_cmd(mode, cycles, 10) + ["--callgrind"])
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
        cycles = {six_key(mode): mode for mode in SIX_ROWS.values()}
        for name in ("floor", "velkarin", "python-can", *cycles):
            counts = []
            per = max(n // len(SIX), 10) if name in cycles else n
            for count in (per, 2 * per):
                if name == "floor":
                    cmd = [self.floor, "--iface", SIM_IFACE, "--payload", self.payload,
                           "--iterations", str(count), "--warmup", "0"]
                elif cycles.get(name):
                    cmd = self.cycle_cmd(cycles[name], count, 0)
                else:
                    # The callgrind loop: outside valgrind its toggles do nothing.
                    which = "velkarin-six" if name in cycles else name
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
    """What one system call and one clock read cost here: inside user-mode-linux both are
    traps to the guest kernel, which decides most of what a round trip costs."""
    t0 = time.perf_counter_ns()
    for _ in range(n):
        os.getppid()
    t1 = time.perf_counter_ns()
    for _ in range(n):
        time.perf_counter_ns()
    t2 = time.perf_counter_ns()
    return {"getppid_us": (t1 - t0) / n / 1e3, "clock_read_us": (t2 - t1) / n / 1e3}


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


def six_motor_report(six: dict, cg: dict, sc: dict) -> str:
    """The cycle rows: rate, cycle time, instructions, system calls and waits per cycle, and
    each row's median cycle against the wire time of the same twelve frames."""
    w = six["wire"]
    head = (f"{'6-motor cycle, one MIT command each':<36} {'cyc/s':>6} {'±%':>4} {'median':>7} "
            f"{'p99':>7} {'instr':>7} {'calls':>6} {'waits':>6} {'x wire':>6}")
    unit = (f"{'':<36} {'':>6} {'':>4} {'µs':>7} {'µs':>7} {'/cycle':>7} {'/cycle':>6} "
            f"{'/cycle':>6} {'':>6}")
    lines = [head, unit, "-" * len(head)]
    for s in six["rows"]:
        key = six_key(SIX_ROWS[s["name"]])
        rate, lat = s["round_trips_per_s"], s["latency_us"]
        instr = cg.get(key, {}).get("instructions_per_command", math.nan)
        calls = sc.get(key, {}).get("total_per_command", math.nan)
        lines.append(f"{s['name']:<36} {rate['median']:>6.0f} {100 * rate['spread']:>4.0f} "
                     f"{lat['median']:>7.0f} {lat['p99']:>7.0f} {instr:>7.0f} {calls:>6.0f} "
                     f"{s['switches_per_iteration']['voluntary']:>6.1f} "
                     f"{lat['median'] / w['cycle_us']:>6.2f}")
    lines.append(f"{'wire limit, 1 Mbit/s, 12 frames':<36} {w['cycles_per_s']:>6.0f} {'':>4} "
                 f"{w['cycle_us']:>7.0f} {'':>7} {'':>7} {'':>6} {'':>6} {1:>6.2f}")
    lines.append(f"  the twelve frames take {w['bits']} bits with stuffing "
                 f"({', '.join(map(str, w['frame_bits']))}); waits: times per cycle the measuring "
                 "thread blocked for a reply (voluntary context switches)")
    by = {s["name"]: s["round_trips_per_s"]["median"] for s in six["rows"]}
    py, batched = by["Python, one motor after another"], by["C++ core, batched cycle"]
    lines.append(f"  batched cycle / Python one after another: {stats.ratio(batched, py):.2f}x cycles per second")
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
    six = res.get("six_motor")
    if six:
        lines += ["", six_motor_report(six, res.get("callgrind") or {}, res.get("syscalls") or {}), ""]
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
    return "\n".join(lines)


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
    p.add_argument("--skip", action="append", default=[], choices=["callgrind", "soak", "six", "strace"])
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

    with simulator(a.sim, SIM_IFACE, [(m, "mit") for m in SIX]):
        bus = velkarin.SocketCanTransport(SIM_IFACE)
        for m in SIX:
            velkarin.Damiao(m.motor_id, m.master_id, timeout_ms=worker.TIMEOUT_MS).enable(bus)
        del bus
        if "six" not in a.skip:
            res["six_motor"] = {"wire": wire.wire_limit(cycle_frames(SIM_IFACE)),
                                "rows": [r.summary() for r in b.six_motor_rows()]}
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
