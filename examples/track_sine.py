#!/usr/bin/env python3
"""Track a sine position target with one Damiao motor in MIT mode.

Enables the motor, switches it to MIT control mode, follows
q(t) = amplitude * sin(2 pi f t) at a fixed loop rate, disables it and prints
a summary (commands, loop rate, round trip, tracking error). With --plot PATH it
also writes a plot of target vs. measured position and torque to a PNG file.

Runs the same against the virtual motor (velkarin-sim) and a real one:

    python examples/track_sine.py --iface can0 --motor-id 1 --master-id 0x11 --model DM4310

Ctrl-C at any point disables the motor before the program exits.
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import velkarin


@dataclass
class Trace:
    t: list[float] = field(default_factory=list)
    target: list[float] = field(default_factory=list)
    position: list[float] = field(default_factory=list)
    torque: list[float] = field(default_factory=list)
    round_trip_us: list[float] = field(default_factory=list)
    timeouts: int = 0
    rate: float = 0.0  # achieved loop rate, Hz


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--iface", default="vcan0", help="CAN interface (default: vcan0)")
    p.add_argument("--motor-id", type=lambda s: int(s, 0), default=1, help="motor CAN id")
    p.add_argument("--master-id", type=lambda s: int(s, 0), default=0x11, help="feedback id")
    p.add_argument("--model", default="DM4310", help="motor model, e.g. DM4310, DM4340, DM8009")
    p.add_argument("--rate", type=float, default=500.0, help="loop rate in Hz (default 500)")
    p.add_argument("--duration", type=float, default=4.0, help="seconds of tracking (default 4)")
    p.add_argument("--amplitude", type=float, default=1.0, help="sine amplitude in rad")
    p.add_argument("--frequency", type=float, default=0.5, help="sine frequency in Hz")
    p.add_argument("--kp", type=float, default=30.0, help="MIT position gain")
    p.add_argument("--kd", type=float, default=1.0, help="MIT velocity gain")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per command")
    p.add_argument("--plot", type=Path, default=None,
                   help="write a plot to this PNG file (default: no plot)")
    p.add_argument("--no-plot", action="store_true", help="no plot, even with --plot")
    return p.parse_args(argv)


def limits_for(model: str) -> velkarin.MitLimits:
    preset = getattr(velkarin.MitLimits, model.lower(), None)
    if preset is None:
        sys.exit(f"unknown motor model {model!r}")
    limits: velkarin.MitLimits = preset()
    return limits


def step(msg: str) -> None:
    print(f"==> {msg}", flush=True)


# The errors of an interface that is missing (ENODEV), down (ENETDOWN) or was removed while open
# (ENXIO): nothing the program can fix, so one line says what to do instead of a traceback.
UNUSABLE_INTERFACE = ("(os error 19)", "(os error 100)", "(os error 6)")


def interface_unusable(iface: str, error: Exception) -> int:
    why = str(error).removeprefix("transport error: backend error: ")
    print(f"track_sine.py: cannot use {iface}: {why}. Bring a CAN interface up (sudo ip link set "
          f"{iface} type can bitrate 1000000 && sudo ip link set {iface} up), or try the virtual "
          "motor instead: velkarin-sim on a virtual bus (tools/demo)", file=sys.stderr)
    return 1


def no_answer(args: argparse.Namespace, what: str) -> int:
    print(f"track_sine.py: motor {args.motor_id:#05x} did not answer {what} within "
          f"{args.timeout_ms} ms on {args.iface}: check its CAN id (--motor-id) and master id "
          f"(--master-id; velkarin-tool scan lists both), the interface's bit rate, and the motor's "
          "power and wiring", file=sys.stderr)
    return 1


def is_timeout(error: RuntimeError) -> bool:
    return "timeout" in str(error)


def track(bus: velkarin.SocketCanTransport, motor: velkarin.Damiao,
          args: argparse.Namespace) -> Trace:
    trace = Trace()
    period = 1.0 / args.rate
    omega = 2.0 * math.pi * args.frequency
    ticks = int(args.duration * args.rate)
    start = time.perf_counter()
    for i in range(ticks):
        # Absolute schedule: a late tick does not push every later one back.
        due = start + i * period
        now = time.perf_counter()
        if due > now:
            time.sleep(due - now)
        t = time.perf_counter() - start
        target = args.amplitude * math.sin(omega * t)
        # Feed-forward velocity keeps the tracking lag small.
        sp = velkarin.MitSetpoint(q=target, dq=args.amplitude * omega * math.cos(omega * t),
                                  kp=args.kp, kd=args.kd)
        sent = time.perf_counter()
        try:
            state = motor.mit_control(bus, sp)
        except RuntimeError as e:
            if not is_timeout(e):
                raise
            trace.timeouts += 1
            continue
        trace.round_trip_us.append((time.perf_counter() - sent) * 1e6)
        trace.t.append(t)
        trace.target.append(target)
        trace.position.append(state.position)
        trace.torque.append(state.torque)
    elapsed = time.perf_counter() - start
    trace.rate = ticks / elapsed if elapsed > 0 else 0.0
    return trace


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def summarize(trace: Trace, args: argparse.Namespace) -> None:
    n = len(trace.round_trip_us)
    print(f"commands sent       {n + trace.timeouts} ({trace.timeouts} timed out)")
    print(f"loop rate           {trace.rate:.1f} Hz (target {args.rate:.0f} Hz)")
    if n == 0:
        return
    errors = [p - q for p, q in zip(trace.position, trace.target)]
    rms = math.sqrt(sum(e * e for e in errors) / n)
    print(f"round trip          median {statistics.median(trace.round_trip_us):.0f} us, "
          f"p99 {percentile(trace.round_trip_us, 0.99):.0f} us")
    print(f"tracking error      rms {rms:.4f} rad, max {max(abs(e) for e in errors):.4f} rad")


def plot(trace: Trace, path: Path) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot skipped: matplotlib is not installed (pip install matplotlib)")
        return
    fig, (ax_q, ax_tau) = plt.subplots(2, 1, sharex=True, figsize=(9, 6))
    ax_q.plot(trace.t, trace.target, label="target", linewidth=1.2)
    ax_q.plot(trace.t, trace.position, label="measured", linewidth=1.0)
    ax_q.set_ylabel("position [rad]")
    ax_q.legend(loc="upper right")
    ax_tau.plot(trace.t, trace.torque, color="tab:red", linewidth=1.0)
    ax_tau.set_ylabel("torque [Nm]")
    ax_tau.set_xlabel("time [s]")
    fig.suptitle("velkarin: MIT sine tracking")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"plot written to {path.resolve()}")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    limits = limits_for(args.model)
    step(f"opening {args.iface}")
    try:
        bus = velkarin.SocketCanTransport(args.iface)
    except OSError as e:
        return interface_unusable(args.iface, e)
    motor = velkarin.Damiao(args.motor_id, args.master_id, limits, args.timeout_ms)
    step(f"{motor!r}: {args.model} limits {limits!r}")
    enabled = False
    try:
        step("switching to MIT mode")
        try:
            motor.ensure_mit_mode(bus)
        except RuntimeError as e:
            if str(e).endswith(UNUSABLE_INTERFACE):
                return interface_unusable(args.iface, e)
            if is_timeout(e):
                return no_answer(args, "a read of its control mode")
            raise
        step("enabling")
        try:
            motor.enable(bus)
        except RuntimeError as e:
            if is_timeout(e):
                return no_answer(args, "the enable command")
            raise
        enabled = True
        step(f"tracking a {args.frequency} Hz sine for {args.duration} s at {args.rate:.0f} Hz")
        trace = track(bus, motor, args)
    except KeyboardInterrupt:
        print("\ninterrupted")
        return 130
    finally:
        if enabled:
            step("disabling")
            try:
                motor.disable(bus)
            except (RuntimeError, KeyboardInterrupt) as e:
                print(f"disable failed: {e}", file=sys.stderr)
    summarize(trace, args)
    if args.plot is not None and not args.no_plot:
        plot(trace, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
