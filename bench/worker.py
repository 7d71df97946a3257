"""The measured loops of the benchmarks: each contender's command, the timed loop around it, and
the long runs (memory and descriptors after many commands, callgrind profiles) that run in a
process of their own.

    worker.py soak --count N [--iface vcan0] [--responder LIB.so]
    worker.py callgrind {velkarin,python-can,velkarin-six,velkarin-group} --count N [--toggle LIB.so]
    worker.py rate --count N [--toggle LIB.so]
    worker.py pipe --count N
    worker.py timer --count N

Every subcommand prints one JSON object on stdout; progress goes to stderr.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import json
import os
import resource
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import velkarin
import velkarin_group

# The setpoint every MIT contender sends: the same 8 bytes on the wire for all of them.
SETPOINT = (0.5, 0.0, 20.0, 0.5, 0.0)  # q, dq, kp, kd, tau
TIMEOUT_MS = 100  # generous: a busy machine must not turn into failed commands


def thread_usage() -> tuple[int, int, int]:
    """This thread's CPU time in ns, and how often it gave up the CPU waiting (voluntary) or
    was preempted (involuntary)."""
    ru = resource.getrusage(resource.RUSAGE_THREAD)
    return round((ru.ru_utime + ru.ru_stime) * 1e9), ru.ru_nvcsw, ru.ru_nivcsw


def measure(call: Callable[..., Any], args: tuple, iterations: int, warmup: int, stamped: bool) -> dict:
    """Runs call(*args) warmup times, then iterations times under the clock and getrusage.
    Stamped runs read the clock once per command (each latency includes that read). The
    switches count how often the thread waited (voluntary) or was preempted (involuntary)."""
    for _ in range(warmup):
        call(*args)
    lat = [0] * iterations if stamped else []
    clock = time.perf_counter_ns
    u0 = thread_usage()
    t0 = clock()
    if stamped:
        t = t0
        for i in range(iterations):
            call(*args)
            t2 = clock()
            lat[i] = t2 - t
            t = t2
    else:
        for _ in range(iterations):
            call(*args)
    t1 = clock()
    u1 = thread_usage()
    return {"iterations": iterations, "wall_ns": t1 - t0, "cpu_ns": u1[0] - u0[0],
            "voluntary_switches": u1[1] - u0[1], "involuntary_switches": u1[2] - u0[2],
            "lat_ns": lat}


class InprocResponder:
    """The native responder thread of inproc_responder.cpp, driven through ctypes."""

    def __init__(self, library: str) -> None:
        self.lib = ctypes.CDLL(library)
        self.lib.bench_responder_start.restype = ctypes.c_void_p
        self.lib.bench_responder_start.argtypes = [
            ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint, ctypes.c_char_p, ctypes.c_uint,
        ]
        self.lib.bench_responder_stop.restype = ctypes.c_ulonglong
        self.lib.bench_responder_stop.argtypes = [ctypes.c_void_p]

    @contextlib.contextmanager
    def serving(self, iface: str, motor_id: int, master_id: int) -> Iterator[list[int]]:
        """Answers the motor while the block runs; the yielded list then holds the number of
        frames answered."""
        err = ctypes.create_string_buffer(256)
        handle = self.lib.bench_responder_start(iface.encode(), motor_id, master_id, err, len(err))
        if not handle:
            raise RuntimeError(f"in-process responder: {err.value.decode()}")
        answered: list[int] = []
        try:
            yield answered
        finally:
            answered.append(self.lib.bench_responder_stop(handle))

    def toggle_callgrind(self) -> None:
        self.lib.bench_callgrind_toggle()


@dataclass(frozen=True)
class Motor:
    motor_id: int
    master_id: int


def motors(n: int) -> list[Motor]:
    """The motors of a bus in the cycle rows: CAN id i, master id 0x10 + i, for i in 1..n."""
    return [Motor(i, 0x10 + i) for i in range(1, n + 1)]


SIX = motors(6)
SIX_CYCLE = "velkarin, 6 motors one after another"


def mit_with_new_setpoint(d: velkarin.Damiao, bus: velkarin.SocketCanTransport, q: float,
                          dq: float, kp: float, kd: float, tau: float) -> velkarin.MotorState:
    """What a control loop does each cycle: a fresh setpoint from five floats, then the command."""
    return d.mit_control(bus, velkarin.MitSetpoint(q, dq, kp, kd, tau))


def control_setpoint(kind: str) -> velkarin.ControlSetpoint:
    q, dq, kp, kd, tau = SETPOINT
    return {
        "mit": lambda: velkarin.ControlSetpoint.mit(velkarin.MitSetpoint(q, dq, kp, kd, tau)),
        "pos_vel": lambda: velkarin.ControlSetpoint.pos_vel(q, 1.0),
        "vel": lambda: velkarin.ControlSetpoint.vel(1.0),
        "force_pos": lambda: velkarin.ControlSetpoint.force_pos(q, 1.0, 0.5),
    }[kind]()


@contextlib.contextmanager
def contender(name: str, iface: str, motor: Motor) -> Iterator[tuple[Callable[..., Any], tuple]]:
    """Opens what contender `name` needs on `iface` and yields its command and arguments. A
    velkarin bus closes with its last reference, so callers use the two inside one function
    call and drop them on return: no two contenders ever have a socket open at once."""
    q, dq, kp, kd, tau = SETPOINT
    if name.startswith("python-can"):
        import can

        from python_can_client import DamiaoMotor

        bus = can.Bus(interface="socketcan", channel=iface)
        try:
            m = DamiaoMotor(bus, motor.motor_id, motor.master_id, timeout=TIMEOUT_MS / 1000)
            yield m.mit_control, (q, dq, kp, kd, tau)
        finally:
            bus.shutdown()
        return
    bus = velkarin.SocketCanTransport(iface)
    if name == SIX_CYCLE:
        ds = [velkarin.Damiao(m.motor_id, m.master_id, timeout_ms=TIMEOUT_MS) for m in SIX]
        sp = velkarin.MitSetpoint(q, dq, kp, kd, tau)

        def cycle() -> None:
            for d in ds:
                d.mit_control(bus, sp)

        yield cycle, ()
        return
    d = velkarin.Damiao(motor.motor_id, motor.master_id, timeout_ms=TIMEOUT_MS)
    if name == "velkarin mit_control":
        yield d.mit_control, (bus, velkarin.MitSetpoint(q, dq, kp, kd, tau))
    elif name == "velkarin mit_control, new setpoint":
        yield mit_with_new_setpoint, (d, bus, q, dq, kp, kd, tau)
    elif name.startswith("velkarin control "):
        yield d.control, (bus, control_setpoint(name.removeprefix("velkarin control ")))
    else:
        raise ValueError(f"unknown contender {name!r}")


@contextlib.contextmanager
def cycle_contender(kind: str, ifaces: list[str], per_bus: int, fd: bool,
                    rate_hz: float | None) -> Iterator[tuple[Callable[[], Any], Any]]:
    """One MIT command to motors 1..per_bus of every bus per call: `python` one motor after
    another (Damiao.mit_control, classic frames), `group` one MotorGroup round over all of them
    (FD frames with bit-rate switch when `fd`). With `rate_hz`, each call then waits for the
    next tick of a Ticker at that rate. Yields the call and the Ticker (or None)."""
    buses = [velkarin.SocketCanTransport(iface) for iface in ifaces]
    members = [(bus, velkarin.Damiao(m.motor_id, m.master_id, timeout_ms=TIMEOUT_MS))
               for bus in buses for m in motors(per_bus)]
    sp = velkarin.MitSetpoint(*SETPOINT)
    if kind == "group":
        group = velkarin_group.MotorGroup(members, fd=fd)
        setpoints = [sp] * len(members)

        def command() -> None:
            group.mit_control(setpoints)
    elif kind == "python" and not fd:
        def command() -> None:
            for bus, d in members:
                d.mit_control(bus, sp)
    else:
        raise ValueError(f"no cycle contender {kind!r} (fd={fd})")
    if rate_hz is None:
        yield command, None
        return
    ticker = velkarin_group.Ticker(rate_hz)

    def paced() -> None:
        command()
        ticker.wait()

    yield paced, ticker


def cycle_run(kind: str, ifaces: list[str], per_bus: int, fd: bool, rate_hz: float | None,
              iterations: int, warmup: int, stamped: bool) -> dict:
    """One measured run of a cycle contender; a paced run also counts the ticks it missed."""
    with cycle_contender(kind, ifaces, per_bus, fd, rate_hz) as (call, ticker):
        for _ in range(warmup):
            call()
        before = ticker.overruns if ticker else 0
        r = measure(call, (), iterations, 0, stamped)
        if ticker:
            r["overruns"] = ticker.overruns - before
        return r


def run(name: str, iface: str, motor: Motor, iterations: int, warmup: int, stamped: bool) -> dict:
    """One measured run of one contender; its sockets are closed when this returns."""
    with contender(name, iface, motor) as (call, args):
        return measure(call, args, iterations, warmup, stamped)


# -- long runs in a process of their own -------------------------------------------------------


def proc_status(field_name: str) -> int:
    """A kB figure of /proc/self/status (VmHWM, VmRSS)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise KeyError(field_name)


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd")) - 1  # minus the one listdir itself holds


def memory_snapshot(done: int) -> dict:
    return {
        "commands": done,
        "vm_hwm_kb": proc_status("VmHWM"),
        "vm_rss_kb": proc_status("VmRSS"),
        "descriptors": open_descriptors(),
        "gc_objects": len(gc.get_objects()),
    }


def soak(count: int, iface: str, motor: Motor, responder: str | None) -> dict:
    """`count` mit_control commands on one bus and motor, with memory, descriptors and live
    objects recorded after a short warm-up and at the end. Failed commands are counted, not
    fatal: the run is about what stays behind."""
    q, dq, kp, kd, tau = SETPOINT
    warmup = min(1000, count)
    step = max(count // 10, 1)
    snapshots: list[dict] = []
    failures = 0
    t0 = time.monotonic()

    def commands() -> None:
        nonlocal failures
        bus = velkarin.SocketCanTransport(iface)
        mc = velkarin.Damiao(motor.motor_id, motor.master_id, timeout_ms=TIMEOUT_MS).mit_control
        done = 0
        while done < count:
            chunk = warmup if done == 0 else min(step, count - done)
            for _ in range(chunk):
                try:
                    mc(bus, velkarin.MitSetpoint(q, dq, kp, kd, tau))
                except RuntimeError:
                    failures += 1
            done += chunk
            if not snapshots:
                snapshots.append(memory_snapshot(done))
            rate = done / max(time.monotonic() - t0, 1e-9)
            print(f"soak: {done}/{count} commands ({rate:.0f}/s, {failures} failed)",
                  file=sys.stderr, flush=True)
        snapshots.append(memory_snapshot(done))

    if responder:
        with InprocResponder(responder).serving(iface, motor.motor_id, motor.master_id):
            commands()
    else:
        commands()
    return {
        "commands": count,
        "failed": failures,
        "seconds": time.monotonic() - t0,
        "after_warmup": snapshots[0],
        "at_end": snapshots[-1],
        "descriptors_after_close": open_descriptors(),
    }


def callgrind_loop(which: str, count: int, iface: str, motor: Motor, toggle_lib: str) -> dict:
    """`count` commands (six-motor cycles for velkarin-six and velkarin-group) of one contender
    with callgrind collecting only around the loop (valgrind --collect-atstart=no)."""
    toggler = InprocResponder(toggle_lib)
    with contextlib.ExitStack() as stack:
        if which == "velkarin-group":
            call, _ = stack.enter_context(cycle_contender("group", [iface], len(SIX), False, None))
            args: tuple = ()
        else:
            name = {"velkarin": "velkarin mit_control", "python-can": "python-can",
                    "velkarin-six": SIX_CYCLE}[which]
            call, args = stack.enter_context(contender(name, iface, motor))
        for _ in range(50):
            call(*args)
        toggler.toggle_callgrind()
        for _ in range(count):
            call(*args)
        toggler.toggle_callgrind()
    return {"contender": which, "count": count}


def instruction_rate(count: int, toggle_lib: str | None) -> dict:
    """Pure user-space work of the same kind as a command's (a call into the module that builds
    a value object): its time per iteration here, and under callgrind its instructions, give
    how many instructions this CPU runs per microsecond."""
    toggler = InprocResponder(toggle_lib) if toggle_lib else None
    make = velkarin.MitSetpoint
    q, dq, kp, kd, tau = SETPOINT
    for _ in range(1000):
        make(q, dq, kp, kd, tau)
    if toggler:
        toggler.toggle_callgrind()
    t0 = time.perf_counter_ns()
    for _ in range(count):
        make(q, dq, kp, kd, tau)
    t1 = time.perf_counter_ns()
    if toggler:
        toggler.toggle_callgrind()
    return {"count": count, "ns_per_iteration": (t1 - t0) / count}


def pipe_round_trip(count: int) -> dict:
    """One byte to a child process over a pipe and back over another, `count` times: two
    wake-ups of a blocked process and four system calls per round trip, the least any request
    answered by another process costs on this machine."""
    to_child, from_parent = os.pipe()
    from_child, to_parent = os.pipe()
    warmup = 100
    pid = os.fork()
    if pid == 0:
        try:
            for _ in range(warmup + count):
                os.write(to_parent, os.read(to_child, 1))
        finally:
            os._exit(0)
    try:
        for _ in range(warmup):
            os.write(from_parent, b"x")
            os.read(from_child, 1)
        t0 = time.perf_counter_ns()
        for _ in range(count):
            os.write(from_parent, b"x")
            os.read(from_child, 1)
        elapsed = time.perf_counter_ns() - t0
    finally:
        os.waitpid(pid, 0)
        for fd in (to_child, from_parent, from_child, to_parent):
            os.close(fd)
    return {"count": count, "round_trip_us": elapsed / count / 1e3}


def timer_overshoot(count: int, wait_us: float = 100.0) -> dict:
    """How much later than asked a timed wait of `wait_us` returns (the median of `count`),
    with the timer slack at 1 ns as velkarin-sim sets it: what a simulator that sleeps until a
    reply is due adds to that reply."""
    import select

    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(29, 1, 0, 0, 0)  # PR_SET_TIMERSLACK
    late = []
    for _ in range(count):
        t0 = time.perf_counter_ns()
        select.select([], [], [], wait_us / 1e6)
        late.append((time.perf_counter_ns() - t0) / 1e3 - wait_us)
    late.sort()
    return {"count": count, "wait_us": wait_us, "overshoot_us": late[len(late) // 2]}


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("soak")
    s.add_argument("--count", type=int, default=1_000_000)
    s.add_argument("--responder", help="inproc_responder library: answer from a native thread")
    c = sub.add_parser("callgrind")
    c.add_argument("which", choices=["velkarin", "python-can", "velkarin-six", "velkarin-group"])
    c.add_argument("--count", type=int, default=2000)
    c.add_argument("--toggle", required=True, help="inproc_responder library (callgrind toggle)")
    r = sub.add_parser("rate")
    r.add_argument("--count", type=int, default=1_000_000)
    r.add_argument("--toggle", help="inproc_responder library (callgrind toggle)")
    pipe = sub.add_parser("pipe")
    pipe.add_argument("--count", type=int, default=2000)
    timer = sub.add_parser("timer")
    timer.add_argument("--count", type=int, default=1000)
    for q in (s, c):
        q.add_argument("--iface", default="vcan0")
        q.add_argument("--motor-id", type=lambda v: int(v, 0), default=1)
        q.add_argument("--master-id", type=lambda v: int(v, 0), default=0x11)
    a = p.parse_args(argv)
    if a.cmd == "rate":
        print(json.dumps(instruction_rate(a.count, a.toggle)), flush=True)
        return 0
    if a.cmd in ("pipe", "timer"):
        out = pipe_round_trip(a.count) if a.cmd == "pipe" else timer_overshoot(a.count)
        print(json.dumps(out), flush=True)
        return 0
    motor = Motor(a.motor_id, a.master_id)
    if a.cmd == "soak":
        out = soak(a.count, a.iface, motor, a.responder)
    else:
        out = callgrind_loop(a.which, a.count, a.iface, motor, a.toggle)
    print(json.dumps(out), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
