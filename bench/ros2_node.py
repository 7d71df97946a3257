"""Six motors on two buses through the ROS 2 node, beside the same loop without ROS, at each rate:
the achieved loop rate, the missed ticks, and the latency from a command's hand-over (its
publication on joint_commands, or its offer to the loop) to its first MIT frame on the bus.

    tools/vcan-run .venv/bin/python bench/ros2_node.py [--rates 500 1000] [--seconds 5]

Needs the ros2 extra in .venv. velkarin-sim answers three DM4310 on each of vcan0 and vcan1
(ids 1-3, master ids 0x11-0x13). A commander sends every joint a new position COMMAND_HZ times
a second, each command its own q, and a raw socket per bus takes every frame with the kernel's
receive time stamp (SO_TIMESTAMPNS, the clock the commander stamps with), so that the first
frame carrying a command's q times its latency. Prints a table; writes
bench/results/ros2_node.json.
"""

from __future__ import annotations

import argparse
import json
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from statistics import median
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python" / "support"))

import rclpy  # noqa: E402
import yaml  # noqa: E402
from diagnostic_msgs.msg import DiagnosticArray  # noqa: E402
from rclpy.executors import SingleThreadedExecutor  # noqa: E402
from sensor_msgs.msg import JointState  # noqa: E402

import sim  # noqa: E402
import stats  # noqa: E402
import velkarin  # noqa: E402
from velkarin_group import MotorGroup  # noqa: E402
from velkarin_ros2.commands import Command  # noqa: E402
from velkarin_ros2.config import parse  # noqa: E402
from velkarin_ros2.loop import ControlLoop  # noqa: E402

BUSES = ("vcan0", "vcan1")
IDS = (1, 2, 3)
NAMES = [f"{bus}_m{i}" for bus in BUSES for i in IDS]
COMMAND_HZ = 100
P_MAX = 12.5  # the DM4310's position range, over which q is packed in 16 bits
# q of command k: 0.1 + STEP * k, five 16-bit steps of q apart, each command its own up to SPAN.
STEP = 0.002
SPAN = 5000
SO_TIMESTAMPNS = 35
CAN_FRAME = struct.Struct("=IB3x64s")


def config(rate: float, reply_timeout_ms: int) -> dict:
    return {"rate_hz": rate, "buses": list(BUSES), "command_timeout": 1.0,
            "joints": [{"name": f"{bus}_m{i}", "bus": bus, "motor_id": i, "master_id": 0x10 + i,
                        "model": "DM4310", "kp": 20, "kd": 1, "reply_timeout_ms": reply_timeout_ms}
                       for bus in BUSES for i in IDS]}


def command_q(k: int) -> float:
    assert k < SPAN, "a run longer than SPAN commands would repeat a q"
    return 0.1 + STEP * k


class Sniffer:
    """Every MIT frame to motors 1-3 on both buses: (kernel receive time ns, bus, id, q)."""

    def __init__(self) -> None:
        self.socks = []
        for iface in BUSES:
            s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
            s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
            s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.bind((iface,))
            self.socks.append(s)
        self.frames: list[tuple[int, int, int, float]] = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.stop.is_set():
            for s in select.select(self.socks, [], [], 0.1)[0]:
                raw, anc, _, _ = s.recvmsg(CAN_FRAME.size, 64)
                can_id, length, data = CAN_FRAME.unpack(raw.ljust(CAN_FRAME.size, b"\0"))
                if can_id in IDS and length == 8 and data[:7] != b"\xff" * 7:
                    sec, nsec = struct.unpack("=qq", anc[0][2][:16])
                    q = int.from_bytes(data[:2], "big") * 2 * P_MAX / 65535 - P_MAX
                    self.frames.append((sec * 1_000_000_000 + nsec, self.socks.index(s), can_id, q))

    def close(self) -> list[tuple[int, int, int, float]]:
        self.stop.set()
        self.thread.join()
        for s in self.socks:
            s.close()
        return self.frames


def latencies_us(sent: list[tuple[int, int]], frames: list[tuple[int, int, int, float]]) -> list[float]:
    """Per command and motor, the time from its hand-over to the first frame carrying its q. A
    command the next one replaced before the loop's round took it has none."""
    first: dict[tuple[int, int, int], int] = {}
    for t, bus, motor, q in frames:
        k = round((q - 0.1) / STEP)
        if 0 <= k < SPAN and abs(q - command_q(k)) < STEP / 4:
            first.setdefault((k, bus, motor), t)
    out = []
    for k, t0 in sent:
        for bus in range(len(BUSES)):
            for motor in IDS:
                t = first.pop((k, bus, motor), None)
                if t is not None and t >= t0:
                    out.append((t - t0) / 1e3)
    return out


def commander(offer, seconds: float) -> list[tuple[int, int]]:
    """Hands over command k every 1/COMMAND_HZ s; returns (k, realtime ns before hand-over)."""
    sent, period = [], 1.0 / COMMAND_HZ
    start = time.monotonic()
    for k in range(int(seconds * COMMAND_HZ)):
        time.sleep(max(0.0, start + k * period - time.monotonic()))
        t = time.time_ns()
        offer(command_q(k))
        sent.append((k, t))
    return sent


def summary(label: str, rate: float, ticks: int, missed: int, elapsed: float, failed: int,
            sent: int, lat: list[float], extra: dict | None = None) -> dict:
    lat.sort()
    return {"setup": label, "rate_hz": rate, "achieved_hz": ticks / elapsed, "ticks": ticks,
            "missed_ticks": missed, "rounds_with_a_failure": failed, "latencies": len(lat),
            "commands": sent * len(NAMES),
            "latency_median_us": stats.percentile(lat, 50) if lat else None,
            "latency_p99_us": stats.percentile(lat, 99) if lat else None,
            "latency_max_us": lat[-1] if lat else None, **(extra or {})}


def without_ros(rate: float, seconds: float, reply_ms: int) -> dict:
    c = parse(config(rate, reply_ms))
    buses = {b: velkarin.SocketCanTransport(b) for b in BUSES}
    group = MotorGroup([(buses[j.bus], velkarin.Damiao(j.motor_id, j.master_id, j.limits,
                                                       j.reply_timeout_ms)) for j in c.joints])
    for bus, motor in group.members:
        motor.ensure_mit_mode(bus)
    loop = ControlLoop(c, group)
    loop.request("enable")
    stop = threading.Event()
    thread = threading.Thread(target=loop.run, args=(stop,))
    thread.start()
    time.sleep(0.5)  # settled: the enable round done
    first = loop.report
    sniffer = Sniffer()
    sent = commander(lambda q: loop.offer(tuple(Command(q) for _ in NAMES)), seconds)
    last = loop.report
    frames = sniffer.close()
    stop.set()
    thread.join()
    loop.disable_all()
    return summary("without ROS", rate, last.ticks - first.ticks, last.missed - first.missed,
                   last.elapsed - first.elapsed, last.failed_rounds - first.failed_rounds,
                   len(sent), latencies_us(sent, frames))


class BenchNode:
    """The commander and observer in ROS: publishes joint_commands, counts joint_states, keeps
    the node's loop status from diagnostics."""

    def __init__(self) -> None:
        rclpy.init()
        self.node = rclpy.create_node("bench")
        self.states: list[tuple[int, int]] = []  # (receive time ns, joints in the message)
        self.loop_status: dict[str, str] = {}
        self.reader = None
        self.node.create_subscription(DiagnosticArray, "diagnostics", self._on_diagnostics, 10)
        self.pub = self.node.create_publisher(JointState, "joint_commands", 10)
        self.executor = SingleThreadedExecutor()
        self.executor.add_node(self.node)
        self.thread = threading.Thread(target=self.executor.spin, daemon=True)
        self.thread.start()

    def _on_diagnostics(self, msg: DiagnosticArray) -> None:
        for s in msg.status:
            if s.name.endswith(": loop") and any(v.key == "ticks" for v in s.values):
                self.loop_status = {v.key: v.value for v in s.values}

    def read_states(self, on: bool) -> None:
        """Subscribes to joint_states or drops the subscription: a reader in Python costs the
        guest's one CPU a wake-up per message, which the node's loop then lacks."""
        if on and self.reader is None:
            self.reader = self.node.create_subscription(JointState, "joint_states", lambda m: (
                self.states.append((time.time_ns(), len(m.name)))), 1000)
        elif not on and self.reader is not None:
            self.node.destroy_subscription(self.reader)
            self.reader = None

    def publish(self, q: float) -> None:
        self.pub.publish(JointState(name=NAMES, position=[q] * len(NAMES)))

    def close(self) -> None:
        self.executor.shutdown()
        self.thread.join()
        self.node.destroy_node()
        rclpy.shutdown()


def through_node(rate: float, seconds: float, reply_ms: int, bench: BenchNode, read: bool) -> dict:
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False) as f:
        yaml.safe_dump(config(rate, reply_ms), f)
    bench.loop_status = {}  # the previous node's
    bench.read_states(read)
    node = subprocess.Popen([str(Path(sys.executable).parent / "velkarin-ros2"), f.name])
    try:
        end = time.monotonic() + 60
        while not bench.loop_status and time.monotonic() < end:
            time.sleep(0.1)
        time.sleep(1.0)  # past the second diagnostics message, so that its counts are fresh
        first, n0, t0 = dict(bench.loop_status), len(bench.states), time.time_ns()
        sniffer = Sniffer()
        sent = commander(bench.publish, seconds)
        frames = sniffer.close()
        n1, t1 = len(bench.states), time.time_ns()
        time.sleep(1.5)  # the next diagnostics message
        last = dict(bench.loop_status)
    finally:
        node.send_signal(signal.SIGTERM)
        node.wait(30)
        Path(f.name).unlink()
    window = bench.states[n0:n1]

    def delta(key: str) -> float:
        return float(last[key]) - float(first[key])

    ticks, missed, failed = int(delta("ticks")), int(delta("missed ticks")), int(
        delta("rounds with a failed member"))
    # The loop's counts come from its diagnostics, the states seen from this process.
    extra = {"joint_states_seen_hz": len(window) / ((t1 - t0) / 1e9)} if read else {}
    return summary("node, states read" if read else "node, no reader", rate, ticks, missed,
                   delta("elapsed_s"), failed, len(sent), latencies_us(sent, frames), extra)


def medians(rows: list[dict]) -> list[dict]:
    """Per setup and rate, the median of every figure over the repetitions, and the range of the
    achieved rate."""
    groups: dict[tuple[str, float], list[dict]] = {}
    for r in rows:
        groups.setdefault((r["setup"], r["rate_hz"]), []).append(r)
    out = []
    for (setup, rate), rs in groups.items():
        m = {k: median(r[k] for r in rs) for k, v in rs[0].items()
             if isinstance(v, (int, float)) and all(r[k] is not None for r in rs)}
        achieved = [r["achieved_hz"] for r in rs]
        out.append({**m, "setup": setup, "rate_hz": rate, "achieved_range": (min(achieved), max(achieved))})
    return out


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rates", type=float, nargs="+", default=[500.0, 1000.0])
    p.add_argument("--seconds", type=float, default=5.0, help="commanded seconds per run")
    p.add_argument("--reps", type=int, default=3, help="repetitions of every row, in turn")
    p.add_argument("--reply-timeout-ms", type=int, default=5)
    a = p.parse_args(argv)
    exe = sim.find_sim()
    assert exe is not None, "velkarin-sim not found"
    motors = [f"{i}:{0x10 + i:#x}:DM4310" for i in IDS]
    sims = [sim.Sim(exe, bus, motors) for bus in BUSES]
    bench = BenchNode()
    rows = []
    try:
        for _ in range(a.reps):
            for rate in a.rates:
                rows.append(without_ros(rate, a.seconds, a.reply_timeout_ms))
                for read in (False, True):
                    rows.append(through_node(rate, a.seconds, a.reply_timeout_ms, bench, read))
    finally:
        bench.close()
        for s in sims:
            s.stop()
    print(f"{'setup':18} {'rate':>6} {'achieved':>9} {'missed':>7} {'failed':>7} "
          f"{'latency median':>15} {'p99':>8} {'max':>8}  (us; the median of {a.reps} runs)")
    for r in medians(rows):
        print(f"{r['setup']:18} {r['rate_hz']:6.0f} {r['achieved_hz']:9.1f} {r['missed_ticks']:7.0f} "
              f"{r['rounds_with_a_failure']:7.0f} {r['latency_median_us'] or 0:15.0f} "
              f"{r['latency_p99_us'] or 0:8.0f} {r['latency_max_us'] or 0:8.0f}"
              + f"  ({r['achieved_range'][0]:.0f}-{r['achieved_range'][1]:.0f})"
              + f"  {r['latencies']:.0f} of {r['commands']:.0f} on the bus"
              + (f", joint_states seen {r['joint_states_seen_hz']:.1f}/s"
                 if "joint_states_seen_hz" in r else ""))
    out = HERE / "results" / "ros2_node.json"
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps({"seconds": a.seconds, "command_hz": COMMAND_HZ, "reps": a.reps,
                               "rows": rows, "medians": medians(rows)}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
