"""velkarin-view's command line: the motors (given, or found by a scan), drive or watch mode, who
may drive, then the threads and the server, until SIGINT or SIGTERM, which disable the motors."""

from __future__ import annotations

import argparse
import asyncio
import math
import secrets
import signal
import sys
from collections.abc import Sequence

from aiohttp import web

from velkarin_view.messages import Command, Refused
from velkarin_view.motors import KD_MAX, KP_MAX, MotorSpec, identify, parse_motor, preset_limits, scan
from velkarin_view.recording import Recorder
from velkarin_view.registers import parse_listing
from velkarin_view.server import Settings, ViewServer
from velkarin_view.tool import Tool, ToolError, register_listing

PROG = "velkarin-view"
DEFAULT_IFACE = "can0"


class MotorOnIface(argparse.Action):
    """--motor belongs to the --iface before it (or to the default interface)."""

    def __call__(self, parser: argparse.ArgumentParser, ns: argparse.Namespace, value: object,
                 option: str | None = None) -> None:
        iface = ns.iface[-1] if ns.iface else DEFAULT_IFACE
        try:
            ns.motors.append(parse_motor(iface, str(value)))
        except ValueError as e:
            parser.error(str(e))


# The tool's bound on each register exchange. They happen at start and while no motor is
# enabled, where a slow answer costs nothing and a missed one fails the whole request.
TOOL_TIMEOUT_MS = 200


def positive(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a number above 0, not {text!r}")
    return value


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog=PROG, description="Tune and watch Damiao motors in a browser.")
    p.add_argument("--iface", action="append", default=[],
                   help=f"a CAN interface; the --motor options after it are on it (default {DEFAULT_IFACE})")
    p.add_argument("--motor", action=MotorOnIface, dest="motors", default=[], metavar="ID:MASTER[:MODEL]",
                   help="a motor (repeat); an --iface without any is scanned (drive mode only)")
    p.add_argument("--watch", action="store_true",
                   help="listen only: decode another program's commands and the feedback; never transmit")
    p.add_argument("--rate", type=positive, default=500.0, help="drive loop rounds per second (default 500)")
    p.add_argument("--timeout-ms", type=int, default=20, help="reply time-out per motor (default 20)")
    p.add_argument("--fd", action="store_true", help="CAN FD frames, for motors set to an FD bit rate")
    p.add_argument("--listen", metavar="ADDR",
                   help="serve the network on ADDR (0.0.0.0: every address); control then needs the "
                        "token printed at start (default: 127.0.0.1 only, no token)")
    p.add_argument("--port", type=int, default=8077, help="TCP port (default 8077; 0 picks a free one)")
    p.add_argument("--lost-after", type=positive, default=2.0, metavar="S",
                   help="disable every motor when no page that may drive was heard for S seconds (default 2)")
    p.add_argument("--record-seconds", type=positive, default=60.0, metavar="S",
                   help="the longest recording, at the full loop rate (default 60)")
    p.add_argument("--display-hz", type=positive, default=50.0,
                   help="time buckets per second the plots get, each its lowest and highest samples (default 50)")
    p.add_argument("--enable", action="store_true",
                   help="enable every motor once a page that may drive is open")
    p.add_argument("--signal", metavar="SHAPE:AMPLITUDE:HZ[:OFFSET]",
                   help="with --enable: start every motor's signal generator (step, sine, square)")
    p.add_argument("--kp", type=float, default=0.0, help="MIT kp to start with (default 0)")
    p.add_argument("--kd", type=float, default=0.0, help="MIT kd to start with (default 0)")
    args = p.parse_args(argv)
    if not args.iface:
        args.iface = [DEFAULT_IFACE]
    if args.watch and (not args.motors or any(m.model is None for m in args.motors)):
        p.error("--watch needs every motor as --motor ID:MASTER:MODEL: it sends nothing, so it cannot "
                "scan the bus or read the motors' limits")
    if args.signal and not args.enable:
        p.error("--signal starts with --enable")
    if not (0 <= args.kp <= KP_MAX and 0 <= args.kd <= KD_MAX):
        p.error(f"--kp takes 0 to {KP_MAX:g}, --kd 0 to {KD_MAX:g}")
    return args


def say(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def motor_specs(args: argparse.Namespace, tools: dict[str, Tool]) -> list[MotorSpec]:
    specs = list(args.motors)
    for iface in args.iface:
        if not any(s.iface == iface for s in specs):
            found = scan(tools[iface])
            say(f"{iface}: the scan found {len(found)} motor(s)")
            specs += found
    if args.watch:  # it may not ask the motors: their model's limits decode what it hears
        for spec in specs:
            spec.limits = preset_limits(str(spec.model))
    else:
        for spec in specs:
            if spec.limits is None or spec.mode is None:
                identify(spec, tools[spec.iface])
            if spec.note:
                say(f"motor {spec.motor_id:#x} on {spec.iface}: {spec.note}")
    if not specs:
        raise ValueError("no motor to serve: give --motor ID:MASTER[:MODEL]")
    return specs


def start_commands(args: argparse.Namespace, count: int, server: ViewServer) -> list[Command]:
    """--enable and --signal as the page's own messages, checked as the page's are."""
    messages: list[dict[str, object]] = []
    for n in range(count):
        messages.append({"type": "enable", "motor": n})
        if args.signal:
            shape, *numbers = args.signal.split(":")
            try:
                amplitude, frequency, offset = [float(x) for x in numbers] + [0.0] * (3 - len(numbers))
            except ValueError:
                raise ValueError(f"--signal takes SHAPE:AMPLITUDE:HZ[:OFFSET], not {args.signal!r}") from None
            messages.append({"type": "signal", "motor": n, "shape": shape, "amplitude": amplitude,
                             "frequency": frequency, "offset": offset})
    try:
        return [server.checker.check(m) for m in messages]
    except Refused as e:
        raise ValueError(f"--enable/--signal: {e}") from None


async def serve(args: argparse.Namespace, server: ViewServer, host: str, token: str | None) -> None:
    # Sockets still open at shutdown are closed by the server; nothing else is worth waiting for.
    runner = web.AppRunner(server.app, handle_signals=False, access_log=None, shutdown_timeout=1.0)
    await runner.setup()
    site = web.TCPSite(runner, host, args.port)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
    shown = f"[{host}]" if ":" in host else host
    url = f"http://{shown}:{port}/" + (f"?token={token}" if token else "")
    if token:
        say(f"every control action needs the token {token}")
    print(f"{PROG} ready: {url}", flush=True)
    done = asyncio.Event()
    aio = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        aio.add_signal_handler(sig, done.set)
    try:
        await done.wait()
    finally:
        await runner.cleanup()


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    token = secrets.token_urlsafe(16) if args.listen else None
    host = args.listen or "127.0.0.1"
    try:
        tools = {} if args.watch else {i: Tool(i, timeout_ms=TOOL_TIMEOUT_MS, fd=args.fd) for i in args.iface}
        specs = motor_specs(args, tools)
        registers = [] if args.watch else parse_listing(register_listing(next(iter(tools.values())).exe))
    except (ValueError, ToolError) as e:
        say(str(e))
        return 1
    recorder = Recorder(args.record_seconds)
    settings = Settings(specs, args.watch, token, args.lost_after, args.display_hz, args.rate, registers, [])
    threads: list[object] = []
    try:
        if args.watch:
            from velkarin_view.watch import Watcher

            watcher = Watcher(specs, recorder)
            server = ViewServer(settings, watcher, recorder)
            threads = [watcher]
        else:
            from velkarin_view.drive import DriveLoop
            from velkarin_view.stopper import Pages, Stopper

            loop = DriveLoop(specs, rate_hz=args.rate, timeout_ms=args.timeout_ms, fd=args.fd,
                             tools=tools, recorder=recorder)
            for c in loop.controls:
                c.fields["mit"].update(kp=args.kp, kd=args.kd)
            pages = Pages()
            stopper = Stopper(specs, timeout_ms=args.timeout_ms, fd=args.fd, loop=loop, pages=pages,
                              lost_after_s=args.lost_after, report=lambda report: None)
            server = ViewServer(settings, loop, recorder, loop=loop, stopper=stopper, pages=pages)
            if args.enable:
                settings.start_commands = start_commands(args, len(specs), server)
            threads = [stopper, loop]
    except (OSError, ValueError) as e:
        say(str(e))
        return 1
    for t in threads:
        t.start()  # type: ignore[attr-defined]
    try:
        asyncio.run(serve(args, server, host, token))
    except OSError as e:
        say(f"cannot serve on {host}:{args.port}: {e}")
        return 1
    finally:
        for t in reversed(threads):
            t.close()  # type: ignore[attr-defined]
        for t in reversed(threads):
            t.join(5.0)  # type: ignore[attr-defined]
    return 0
