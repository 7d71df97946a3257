"""Cost of one Damiao.mit_control call against the motor stand-in on vcan0: wall time per call
(median, p99), the caller's CPU time per call, and the Python heap blocks a call leaves behind.

Run inside the bus harness:  tools/vcan-run python bench/mit_control_cost.py [calls]
"""

from __future__ import annotations

import resource
import statistics
import sys
import time
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import canframes  # noqa: E402
import velkarin  # noqa: E402
from responder import Out, Responder, Rule  # noqa: E402

MASTER = 0x11
FEEDBACK = bytes.fromhex("017FFF7FF7FF1E28")


def cpu_seconds() -> tuple[float, float]:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def per_call_wall(call, n: int) -> list[int]:
    stamps = [0] * (n + 1)  # preallocated: the loop itself stores only the stamps
    clock = time.monotonic_ns
    stamps[0] = clock()
    for i in range(1, n + 1):
        call()
        stamps[i] = clock()
    return [b - a for a, b in zip(stamps, stamps[1:])]


def report_wall(name: str, ns: list[int]) -> None:
    ns = sorted(ns)
    p99 = ns[min(len(ns) - 1, int(len(ns) * 0.99))]
    print(
        f"{name:28s} median {statistics.median(ns) / 1000:7.1f} us   p99 {p99 / 1000:7.1f} us"
        f"   max {ns[-1] / 1000:8.1f} us"
    )


def main() -> int:
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    stand_in = Responder("vcan0")
    try:
        stand_in.script([Rule(0x001, [Out(MASTER, FEEDBACK)])], keep=0)
        bus = velkarin.SocketCanTransport("vcan0")
        motor = velkarin.Damiao(1, MASTER, timeout_ms=1000)
        sp = velkarin.MitSetpoint(1.0, 2.0, 50.0, 1.0, 0.5)

        def mit() -> None:
            motor.mit_control(bus, sp)

        # The same exchange with the interpreter's own socket module, for scale: one write, one
        # read of the reply (no other traffic is on the bus).
        peer = canframes.open_raw_socket("vcan0", timeout=1.0)
        command = canframes.pack_classic(0x001, bytes.fromhex("8A3C888199333865"))

        def raw() -> None:
            peer.send(command)
            peer.recv(canframes.CANFD_MTU)

        for _ in range(1000):  # warm-up: caches, the stand-in's code paths
            mit()
        raw()

        print(f"{calls} calls each, motor stand-in on vcan0, {sys.version.split()[0]}")
        # Each interval below holds one clock read too; in a user-mode-linux guest that is a
        # full system call, not a vDSO read.
        report_wall("(clock read alone)", per_call_wall(lambda: None, calls))
        report_wall("mit_control", per_call_wall(mit, calls))
        report_wall("raw socket send+recv", per_call_wall(raw, calls))
        peer.close()

        u0, s0 = cpu_seconds()
        p0 = time.process_time()
        w0 = time.perf_counter()
        for _ in range(calls):
            motor.mit_control(bus, sp)
        w1 = time.perf_counter()
        p1 = time.process_time()
        u1, s1 = cpu_seconds()
        print(
            f"{'mit_control CPU (caller)':28s} {(p1 - p0) / calls * 1e6:7.1f} us/call"
            f"  (user {(u1 - u0) / calls * 1e6:.1f}, system {(s1 - s0) / calls * 1e6:.1f});"
            f" wall {(w1 - w0) / calls * 1e6:.1f} us/call"
        )

        # Heap blocks: results dropped at once must leave nothing; results kept must cost one
        # block each (the MotorState), so nothing else is allocated and kept per call.
        kept: list[object] = [None] * calls
        b0 = sys.getallocatedblocks()
        for _ in range(calls):
            motor.mit_control(bus, sp)
        b1 = sys.getallocatedblocks()
        for i in range(calls):
            kept[i] = motor.mit_control(bus, sp)
        b2 = sys.getallocatedblocks()
        print(
            f"{'allocated blocks per call':28s} dropped {(b1 - b0) / calls:+.4f}"
            f"   kept {(b2 - b1) / calls:+.4f} (one MotorState = +1)"
        )
        del kept

        tracemalloc.start()
        t0, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        for _ in range(calls):
            motor.mit_control(bus, sp)
        t1, peak = tracemalloc.get_traced_memory()
        state = motor.mit_control(bus, sp)
        t2, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        print(
            f"{'tracemalloc':28s} net {t1 - t0:+d} B over {calls} calls, peak above start"
            f" {peak - t0} B, one kept result {t2 - t1} B ({type(state).__name__})"
        )
        replies = stand_in.collect().count
        print(f"stand-in saw {replies} command frames")
    finally:
        stand_in.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
