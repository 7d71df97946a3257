#!/usr/bin/env python3
"""Track a sine on every motor of two buses at once, one round per tick.

Switches each motor to MIT mode (the control mode is set per motor), enables them all in one
round, which reads where each one is, and ramps them from there to their sines' start within
--ramp-speed. Then at each tick of a velkarin_group.Ticker it sends every motor its MIT setpoint
and takes every reply in one MotorGroup round (the interpreter lock released while it waits).
Each motor follows its own frequency, so a reply handed to the wrong motor would show as a
tracking error. Last it ramps them back to where they were, disables them all, and prints the
achieved rate, the missed ticks and each motor's tracking error.

Against the virtual motor, three per bus: the README's section "Many motors" has the command
(tools/with-sim with one simulator per bus; it ends by itself).

Ctrl-C at any point disables every motor before the program exits.
"""

from __future__ import annotations

import argparse
import math
import sys
import time

import velkarin
from motion import MAX_RAMP_S, Targets, ramp, sines
from velkarin_group import GroupError, MotorGroup, Ticker

PROG = "group_sine.py"
# The errors of an interface that is missing (ENODEV), down (ENETDOWN) or was removed while open
# (ENXIO): the motors cannot help there.
UNUSABLE_INTERFACE = ("(os error 19)", "(os error 100)", "(os error 6)")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--iface", action="append", help="a CAN interface (repeat; default vcan0 vcan1)")
    p.add_argument("--ids", default="1,2,3", help="motor CAN ids on every bus; master id = 0x10 + id")
    p.add_argument("--model", default="DM4310", help="motor model of every motor")
    p.add_argument("--rate", type=float, default=500.0, help="rounds per second (default 500)")
    p.add_argument("--duration", type=float, default=4.0,
                   help="seconds of tracking, rounded to whole periods (default 4)")
    p.add_argument("--amplitude", type=float, default=0.5, help="sine amplitude in rad")
    p.add_argument("--kp", type=float, default=30.0, help="MIT position gain")
    p.add_argument("--kd", type=float, default=1.0, help="MIT velocity gain")
    p.add_argument("--ramp-speed", type=float, default=1.0,
                   help="fastest move to the sines' start and back, rad/s (default 1)")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per motor")
    p.add_argument("--fd", action="store_true", help="CAN FD frames (motors set to an FD bit rate)")
    args = p.parse_args(argv)
    args.iface = args.iface or ["vcan0", "vcan1"]
    try:
        args.ids = [int(i, 0) for i in args.ids.split(",")]
    except ValueError:
        p.error(f"--ids takes CAN ids separated by commas, not {args.ids!r}")
    args.limits = getattr(velkarin.MitLimits, args.model.lower(), None)
    if args.limits is None:
        p.error(f"unknown motor model {args.model!r}")
    for name in ("rate", "duration", "ramp_speed"):
        if not getattr(args, name) > 0:
            p.error(f"--{name.replace('_', '-')} must be above 0")
    return args


def say(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


def what_to_do(error: RuntimeError | OSError, iface: str) -> str:
    """What a person can do about a motor's or an interface's error."""
    if str(error).endswith(UNUSABLE_INTERFACE):
        return (f"bring {iface} up (sudo ip link set {iface} type can bitrate 1000000 && sudo ip "
                f"link set {iface} up), or try the virtual motors: the README's \"Many motors\"")
    if "timeout" in str(error):
        return ("check its CAN id and master id (--ids; master id = 0x10 + id; velkarin-tool scan "
                "lists both), the bit rate, power and wiring")
    return "see the README's \"Errors and what to do about them\""


class Tally:
    """What the rounds got back, per member."""

    def __init__(self, members: int) -> None:
        self.rounds = self.failed_rounds = 0
        self.answered = [0] * members
        self.sum_sq = [0.0] * members
        self.worst = [0.0] * members


def follow(group: MotorGroup, args: argparse.Namespace, ticker: Ticker, targets: Targets,
           seconds: float, tally: Tally) -> None:
    """One MIT round per tick along `targets` for `seconds`."""
    start = time.monotonic()
    while (t := time.monotonic() - start) < seconds:
        goal = targets(t)
        setpoints = [velkarin.MitSetpoint(q=q, dq=dq, kp=args.kp, kd=args.kd) for q, dq in goal]
        try:
            outcomes = group.mit_control(setpoints)
        except GroupError as e:  # some members failed; the others answered
            outcomes, tally.failed_rounds = e.outcomes, tally.failed_rounds + 1
        tally.rounds += 1
        for n, (state, (q, _)) in enumerate(zip(outcomes, goal)):
            if isinstance(state, velkarin.MotorState):
                error = state.position - q
                tally.answered[n] += 1
                tally.sum_sq[n] += error * error
                tally.worst[n] = max(tally.worst[n], abs(error))
        ticker.wait()


def report_round(what: str, names: list[str], ifaces: list[str], error: GroupError) -> None:
    for name, iface, outcome in zip(names, ifaces, error.outcomes):
        if isinstance(outcome, RuntimeError):
            say(f"{name}: {what} failed: {outcome}: {what_to_do(outcome, iface)}")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    buses = []
    for iface in args.iface:
        try:
            buses.append(velkarin.SocketCanTransport(iface))
        except OSError as e:
            say(f"cannot open {iface}: {e}: {what_to_do(e, iface)}")
            return 1
    members = [(bus, velkarin.Damiao(i, 0x10 + i, args.limits(), args.timeout_ms))
               for bus in buses for i in args.ids]
    ifaces = [iface for iface in args.iface for _ in args.ids]
    names = [f"motor {i:#x} on {iface}" for iface in args.iface for i in args.ids]
    group = MotorGroup(members, fd=args.fd)
    # 0.3 Hz, 0.4 Hz, ...: every motor its own sine.
    sine, sine_seconds = sines(args.amplitude, [0.3 + 0.1 * n for n in range(len(members))],
                               args.duration)
    start = [q for q, _ in sine(0.0)]
    tally = Tally(len(members))
    enabled = False  # once the enable round went out, every motor is disabled at the end
    try:
        switched = True
        for name, iface, (bus, motor) in zip(names, ifaces, members):
            try:
                motor.ensure_mit_mode(bus)
            except RuntimeError as e:
                say(f"{name}: the switch to MIT mode failed: {e}: {what_to_do(e, iface)}")
                switched = False
        if not switched:
            return 1
        enabled = True
        try:
            found = [state.position for state in group.enable()]
        except GroupError as e:
            report_round("enable", names, ifaces, e)
            return 1
        there, there_seconds = ramp(found, start, args.ramp_speed)
        back, back_seconds = ramp(start, found, args.ramp_speed)
        if there_seconds > MAX_RAMP_S:
            far = max(range(len(members)), key=lambda n: abs(start[n] - found[n]))
            say(f"{names[far]} is at {found[far]:.3f} rad, {abs(start[far] - found[far]):.3f} rad "
                f"from its sine's start: at --ramp-speed {args.ramp_speed:g} rad/s the move takes "
                f"{there_seconds:.1f} s, more than {MAX_RAMP_S:g} s. Move the joint closer, or "
                "raise --ramp-speed if it is safe to")
            return 1
        print(f"{len(members)} motors on {', '.join(args.iface)}: {there_seconds:.1f} s to the "
              f"sines' start, rounds at {args.rate:g} Hz for {sine_seconds:.1f} s, "
              f"{back_seconds:.1f} s back", flush=True)
        ticker = Ticker(args.rate)
        began = time.monotonic()
        for targets, seconds in ((there, there_seconds), (sine, sine_seconds), (back, back_seconds)):
            follow(group, args, ticker, targets, seconds, tally)
        elapsed = time.monotonic() - began
    except KeyboardInterrupt:
        print("\ninterrupted")
        return 130
    finally:
        if enabled:
            try:
                group.disable()
            except GroupError as e:
                report_round("disable", names, ifaces, e)
            except KeyboardInterrupt:
                say("interrupted while disabling: a motor may still be enabled (velkarin-tool "
                    "disable ID disables it)")
    print(f"{tally.rounds} rounds in {elapsed:.2f} s: {tally.rounds / elapsed:.0f} rounds/s, "
          f"{ticker.overruns} missed ticks, {tally.failed_rounds} rounds with a failed motor")
    print("motor  bus    answered  tracking error rms   max (rad)")
    for n, (iface, i) in enumerate((b, i) for b in args.iface for i in args.ids):
        rms = math.sqrt(tally.sum_sq[n] / tally.answered[n]) if tally.answered[n] else float("nan")
        print(f"{i:#5x}  {iface:5}  {tally.answered[n]:8}  {rms:17.4f}  {tally.worst[n]:6.4f}")
    return 0 if tally.failed_rounds == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
