#!/usr/bin/env python3
"""Track a sine position target with one Damiao motor in MIT mode.

Switches the motor to MIT control mode, enables it and reads where it is; ramps from there to
the sine's start (at rest at -amplitude) within --ramp-speed; follows
q(t) = -amplitude * cos(2 pi f t) for the whole periods nearest to --duration at a fixed loop
rate; ramps back to where it found the motor, disables it and prints a summary (commands,
loop rate, round trip, tracking error). With --plot PATH it also writes a plot of target and
measured position, the tracking error and the torque to a PNG file.

Runs the same against a real motor and the virtual one (velkarin-sim; the README's section
"The virtual motor" has the command):

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
from motion import MAX_RAMP_S, Targets, ramp, sines


@dataclass
class Trace:
    t: list[float] = field(default_factory=list)
    target: list[float] = field(default_factory=list)
    position: list[float] = field(default_factory=list)
    torque: list[float] = field(default_factory=list)
    round_trip_us: list[float] = field(default_factory=list)
    phases: list[tuple[str, float, float]] = field(default_factory=list)  # name, from, to (s)
    timeouts: int = 0
    ticks: int = 0
    began: float = 0.0  # perf_counter at the first tick
    rate: float = 0.0  # achieved loop rate, Hz


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--iface", default="vcan0", help="CAN interface (default: vcan0)")
    p.add_argument("--motor-id", type=lambda s: int(s, 0), default=1, help="motor CAN id")
    p.add_argument("--master-id", type=lambda s: int(s, 0), default=0x11, help="feedback id")
    p.add_argument("--model", default="DM4310", help="motor model, e.g. DM4310, DM4340, DM8009")
    p.add_argument("--rate", type=float, default=500.0, help="loop rate in Hz (default 500)")
    p.add_argument("--duration", type=float, default=4.0,
                   help="seconds of tracking, rounded to whole periods (default 4)")
    p.add_argument("--amplitude", type=float, default=1.0, help="sine amplitude in rad")
    p.add_argument("--frequency", type=float, default=0.5, help="sine frequency in Hz")
    p.add_argument("--kp", type=float, default=30.0, help="MIT position gain")
    p.add_argument("--kd", type=float, default=1.0, help="MIT velocity gain")
    p.add_argument("--ramp-speed", type=float, default=1.0,
                   help="fastest move to the sine's start and back, rad/s (default 1)")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per command")
    p.add_argument("--plot", type=Path, default=None,
                   help="write a plot to this PNG file (default: no plot)")
    p.add_argument("--no-plot", action="store_true", help="no plot, even with --plot")
    args = p.parse_args(argv)
    for name in ("rate", "duration", "frequency", "ramp_speed"):
        if not getattr(args, name) > 0:
            p.error(f"--{name.replace('_', '-')} must be above 0")
    return args


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


def too_far(args: argparse.Namespace, found: float, goal: float, seconds: float) -> int:
    print(f"track_sine.py: motor {args.motor_id:#05x} is at {found:.3f} rad, {abs(goal - found):.3f} "
          f"rad from the sine's start at {goal:.3f} rad: at --ramp-speed {args.ramp_speed:g} rad/s "
          f"the move takes {seconds:.1f} s, more than {MAX_RAMP_S:g} s. Move the joint closer, or "
          "raise --ramp-speed if it is safe to", file=sys.stderr)
    return 1


def is_timeout(error: RuntimeError) -> bool:
    return "timeout" in str(error)


def follow(bus: velkarin.SocketCanTransport, motor: velkarin.Damiao, args: argparse.Namespace,
           name: str, targets: Targets, seconds: float, trace: Trace) -> None:
    """Commands the motor along `targets` for `seconds` at the loop rate, recording every tick."""
    period = 1.0 / args.rate
    start = time.perf_counter()
    if trace.ticks == 0:
        trace.began = start
    for i in range(math.ceil(seconds * args.rate)):
        # Absolute schedule: a late tick does not push every later one back.
        due = start + i * period
        now = time.perf_counter()
        if due > now:
            time.sleep(due - now)
        t = time.perf_counter() - start
        [(q, dq)] = targets(min(t, seconds))
        # Feed-forward velocity keeps the tracking lag small.
        sp = velkarin.MitSetpoint(q=q, dq=dq, kp=args.kp, kd=args.kd)
        trace.ticks += 1
        sent = time.perf_counter()
        try:
            state = motor.mit_control(bus, sp)
        except RuntimeError as e:
            if not is_timeout(e):
                raise
            trace.timeouts += 1
            continue
        trace.round_trip_us.append((time.perf_counter() - sent) * 1e6)
        trace.t.append(sent - trace.began)
        trace.target.append(q)
        trace.position.append(state.position)
        trace.torque.append(state.torque)
    ended = time.perf_counter()
    trace.phases.append((name, start - trace.began, ended - trace.began))
    trace.rate = trace.ticks / (ended - trace.began)


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
    print(f"tracking error      rms {rms:.4f} rad, max {max(abs(e) for e in errors):.4f} rad "
          "(ramps and sine)")


def plot(trace: Trace, args: argparse.Namespace, path: Path) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot skipped: matplotlib is not installed (pip install matplotlib)")
        return
    fig, (ax_q, ax_e, ax_tau) = plt.subplots(3, 1, sharex=True, figsize=(9, 8),
                                             gridspec_kw={"height_ratios": [3, 2, 2]})
    ax_q.plot(trace.t, trace.target, label="target", linewidth=1.2)
    ax_q.plot(trace.t, trace.position, label="measured", linewidth=1.0, linestyle="--")
    ax_q.set_ylabel("position [rad]")
    # The error is a few thousandths of the motion: on the position axis it would not show.
    ax_e.plot(trace.t, [1000 * (p - q) for p, q in zip(trace.position, trace.target)],
              color="tab:purple", linewidth=1.0)
    ax_e.axhline(0.0, color="grey", linewidth=0.5)
    ax_e.set_ylabel("error, measured - target [mrad]")
    ax_tau.plot(trace.t, trace.torque, color="tab:red", linewidth=1.0)
    ax_tau.set_ylabel("torque [Nm]")
    ax_tau.set_xlabel("time [s]")
    ramps = [(begin, end) for name, begin, end in trace.phases if name == "ramp"]
    for n, (begin, end) in enumerate(ramps):
        for ax in (ax_q, ax_e, ax_tau):
            label = "ramp to the start and back" if ax is ax_q and n == 0 else None
            ax.axvspan(begin, end, color="grey", alpha=0.12, linewidth=0, label=label)
    ax_q.legend(loc="upper right")
    fig.suptitle(f"velkarin: MIT sine tracking, {args.model}, {args.frequency:g} Hz, "
                 f"amplitude {args.amplitude:g} rad\n"
                 f"kp {args.kp:g}, kd {args.kd:g}; loop {args.rate:g} Hz (achieved {trace.rate:.1f} Hz)")
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
    sine, sine_seconds = sines(args.amplitude, [args.frequency], args.duration)
    [(sine_start, _)] = sine(0.0)
    trace = Trace()
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
            found = motor.enable(bus).position
        except RuntimeError as e:
            if is_timeout(e):
                return no_answer(args, "the enable command")
            raise
        enabled = True
        # Start where the motor is: the first command holds it there.
        there, there_seconds = ramp([found], [sine_start], args.ramp_speed)
        back, back_seconds = ramp([sine_start], [found], args.ramp_speed)
        if there_seconds > MAX_RAMP_S:
            return too_far(args, found, sine_start, there_seconds)
        step(f"moving from {found:.3f} rad to the sine's start, {sine_start:.3f} rad, in "
             f"{there_seconds:.1f} s (at most {args.ramp_speed:g} rad/s)")
        follow(bus, motor, args, "ramp", there, there_seconds, trace)
        step(f"tracking a {args.frequency:g} Hz sine for {sine_seconds:.1f} s at {args.rate:.0f} Hz")
        follow(bus, motor, args, "sine", sine, sine_seconds, trace)
        step(f"moving back to {found:.3f} rad in {back_seconds:.1f} s")
        follow(bus, motor, args, "ramp", back, back_seconds, trace)
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
        plot(trace, args, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
