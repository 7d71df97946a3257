#!/usr/bin/env python3
"""Track a sine on every motor of two buses at once, one round per tick.

Switches every motor to MIT mode, enables them all in one round, then at each tick of a
velkarin_group.Ticker sends every motor its MIT setpoint and takes every reply in one
MotorGroup round (the interpreter lock released while it waits). Each motor follows its own
frequency, so a reply handed to the wrong motor would show as a tracking error. Prints the
achieved rate, the missed ticks and each motor's tracking error, and disables them all.

Against the virtual motor, three per bus (inside tools/vcan-run):

    velkarin-sim --iface vcan0 --motor 1:0x11:DM4310 --motor 2:0x12:DM4310 --motor 3:0x13:DM4310 &
    velkarin-sim --iface vcan1 --motor 1:0x11:DM4310 --motor 2:0x12:DM4310 --motor 3:0x13:DM4310 &
    python examples/group_sine.py --iface vcan0 --iface vcan1 --rate 500

Ctrl-C at any point disables every motor before the program exits.
"""

from __future__ import annotations

import argparse
import math
import sys
import time

import velkarin
from velkarin_group import GroupError, MotorGroup, Ticker


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--iface", action="append", help="a CAN interface (repeat; default vcan0 vcan1)")
    p.add_argument("--ids", default="1,2,3", help="motor CAN ids on every bus; master id = 0x10 + id")
    p.add_argument("--model", default="DM4310", help="motor model of every motor")
    p.add_argument("--rate", type=float, default=500.0, help="rounds per second (default 500)")
    p.add_argument("--duration", type=float, default=4.0, help="seconds of tracking (default 4)")
    p.add_argument("--amplitude", type=float, default=0.5, help="sine amplitude in rad")
    p.add_argument("--kp", type=float, default=30.0, help="MIT position gain")
    p.add_argument("--kd", type=float, default=1.0, help="MIT velocity gain")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per motor")
    p.add_argument("--fd", action="store_true", help="CAN FD frames (motors set to an FD bit rate)")
    args = p.parse_args(argv)
    args.iface = args.iface or ["vcan0", "vcan1"]
    args.ids = [int(i, 0) for i in args.ids.split(",")]
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    limits = getattr(velkarin.MitLimits, args.model.lower())()
    try:
        buses = [velkarin.SocketCanTransport(iface) for iface in args.iface]
    except OSError as e:
        print(f"group_sine.py: cannot open {args.iface}: {e}", file=sys.stderr)
        return 1
    members = [(bus, velkarin.Damiao(i, 0x10 + i, limits, args.timeout_ms))
               for bus in buses for i in args.ids]
    group = MotorGroup(members, fd=args.fd)
    # 0.3 Hz, 0.4 Hz, ...: every motor its own sine.
    omegas = [2 * math.pi * (0.3 + 0.1 * n) for n in range(len(members))]
    errors = [0.0] * len(members)
    answered = [0] * len(members)
    failed_rounds = rounds = 0
    try:
        for bus, motor in members:
            motor.ensure_mit_mode(bus)
        group.enable()
        print(f"{len(members)} motors on {', '.join(args.iface)}: rounds at {args.rate:g} Hz "
              f"for {args.duration:g} s", flush=True)
        ticker = Ticker(args.rate)
        start = time.monotonic()
        while (t := time.monotonic() - start) < args.duration:
            targets = [args.amplitude * math.sin(w * t) for w in omegas]
            setpoints = [velkarin.MitSetpoint(q=q, dq=args.amplitude * w * math.cos(w * t),
                                              kp=args.kp, kd=args.kd)
                         for q, w in zip(targets, omegas)]
            try:
                outcomes = group.mit_control(setpoints)
            except GroupError as e:
                outcomes, failed_rounds = e.outcomes, failed_rounds + 1
            rounds += 1
            for n, (state, q) in enumerate(zip(outcomes, targets)):
                if isinstance(state, velkarin.MotorState):
                    answered[n] += 1
                    errors[n] += (state.position - q) ** 2
            ticker.wait()
        elapsed = time.monotonic() - start
    except KeyboardInterrupt:
        print("\ninterrupted")
        return 130
    finally:
        try:
            group.disable()
        except (GroupError, KeyboardInterrupt) as e:
            print(f"disable: {e}", file=sys.stderr)
    print(f"{rounds} rounds in {elapsed:.2f} s: {rounds / elapsed:.0f} rounds/s, "
          f"{ticker.overruns} missed ticks, {failed_rounds} rounds with a failed motor")
    print("motor  bus    answered  tracking error rms (rad)")
    for n, (bus_name, i) in enumerate((b, i) for b in args.iface for i in args.ids):
        rms = math.sqrt(errors[n] / answered[n]) if answered[n] else float("nan")
        print(f"{i:#5x}  {bus_name:5}  {answered[n]:8}  {rms:.4f}")
    return 0 if failed_rounds == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
