"""The control loop: one MotorGroup round per Ticker period, in a thread of its own (the round and
the wait release the interpreter lock, so the ROS executor's thread runs meanwhile). Commands and
gains arrive as whole tuples swapped in by one reference assignment, so the loop never waits for
their writer; service requests wait in a queue and run as that tick's round. The loop owns the
buses: nothing else sends on them while it runs. No ROS here: the node hands in `publish`."""

from __future__ import annotations

import queue
import sys
import threading
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Future
from dataclasses import dataclass
from typing import Protocol

import velkarin
from velkarin_group import BusHealth, GroupError, MemberStats, MotorGroup, Ticker, TickerStats

from .commands import Command, Gains, hold_setpoint, setpoint
from .config import Config

Outcome = velkarin.MotorState | RuntimeError
REQUESTS = ("enable", "disable", "set_zero", "clear_error")
# Motor status codes that are no fault: 0 disabled, 1 enabled.
HEALTHY_STATUS = (0, 1)
HEALTH_PERIOD = 1.0  # seconds between the group's counts and the buses' health taken


class Log(Protocol):
    def info(self, message: str) -> object: ...
    def warning(self, message: str) -> object: ...


class StderrLog:
    """Log lines on stderr, for a loop without a ROS node's logger."""

    def info(self, message: str) -> None:
        print(message, file=sys.stderr)

    warning = info


@dataclass(frozen=True)
class Latest:
    """What the executor thread hands over: every joint's command and when the message came
    (time.monotonic)."""

    commands: tuple[Command, ...]
    received: float


@dataclass(frozen=True)
class Health:
    """The group's counts per member, each bus's health and the Ticker's lateness, as the loop's
    thread took them (a round holds the group: taken between rounds, they never wait for one)."""

    members: Sequence[MemberStats]
    buses: Sequence[BusHealth]
    ticker: TickerStats


@dataclass(frozen=True)
class Report:
    """One tick as the loop saw it: the time its round started (time.time_ns), each member's
    outcome, and the loop's counts since it started."""

    stamp_ns: int
    outcomes: Sequence[Outcome]
    mode: str  # disabled, holding or commanded
    ticks: int
    missed: int
    failed_rounds: int  # rounds in which some member failed
    elapsed: float
    health: Health | None  # the latest, taken every HEALTH_PERIOD


class ControlLoop:
    DISABLED, HOLDING, COMMANDED = "disabled", "holding", "commanded"

    def __init__(self, config: Config, group: MotorGroup, log: Log = StderrLog(),
                 publish: Callable[[Report], None] = lambda report: None) -> None:
        self.config, self.group, self.log, self.publish = config, group, log, publish
        joints = config.joints
        self.latest: Latest | None = None
        self.gains = tuple(Gains(j.kp, j.kd) for j in joints)
        self.report: Report | None = None
        self._requests: queue.SimpleQueue[tuple[str, Future[str]]] = queue.SimpleQueue()
        self._state = self.DISABLED
        self._hold_q: list[float | None] = [None] * len(joints)
        self._hold_since = 0.0
        self._failed: list[str | None] = [None] * len(joints)  # the error last logged per joint
        self._status = [0] * len(joints)
        self._ticks = self._failed_rounds = 0
        self.crashed: BaseException | None = None  # set by the thread that runs run()

    # ---- called from other threads --------------------------------------------------------------
    def offer(self, commands: tuple[Command, ...]) -> None:
        self.latest = Latest(commands, time.monotonic())

    def request(self, kind: str) -> Future[str]:
        """Runs one of REQUESTS as a coming tick's round; the future holds its outcome text, or
        a RuntimeError when a member failed or the request is refused."""
        assert kind in REQUESTS
        done: Future[str] = Future()
        self._requests.put((kind, done))
        return done

    # ---- the loop's own thread ------------------------------------------------------------------
    def run(self, stop: threading.Event) -> None:
        ticker = Ticker(self.config.rate_hz)
        start = time.monotonic()
        health, next_health = None, start
        while not stop.is_set():
            stamp = time.time_ns()
            outcomes = self._tick(time.monotonic())
            self._ticks += 1
            self._failed_rounds += any(isinstance(o, RuntimeError) for o in outcomes)
            self._watch(outcomes)
            now = time.monotonic()
            if now >= next_health:
                health = Health(self.group.stats(), self.group.bus_health(), ticker.stats())
                next_health = now + HEALTH_PERIOD
            self.report = Report(stamp, outcomes, self._state, self._ticks, ticker.overruns,
                                 self._failed_rounds, now - start, health)
            self.publish(self.report)
            ticker.wait()
        while not self._requests.empty():  # nobody would serve them any more
            self._requests.get()[1].set_exception(RuntimeError("the node is stopping"))

    def _tick(self, now: float) -> list[Outcome]:
        try:
            kind, done = self._requests.get_nowait()
        except queue.Empty:
            return self._control(now)
        outcomes = self._serve(kind, done, now)
        return outcomes if outcomes is not None else self._control(now)

    def _control(self, now: float) -> list[Outcome]:
        c, latest = self.config, self.latest
        # Only a command newer than the last enable or time-out counts. Before the first one
        # the joints hold, so a commander that starts later finds the motors enabled.
        if self._state != self.DISABLED and latest is not None and latest.received > self._hold_since:
            if now - latest.received <= c.command_timeout:
                self._state = self.COMMANDED
                return _round(self.group.mit_control, [
                    setpoint(cmd, g, q) for cmd, g, q in zip(latest.commands, self.gains, self._hold_q)])
            self._timed_out(now, f"no command for {c.command_timeout:g} s")
        if self._state == self.DISABLED:
            # A disabled motor still answers: the disable frame is the round that reads it.
            return _round(self.group.disable)
        return _round(self.group.mit_control,
                      [hold_setpoint(j, q) for j, q in zip(c.joints, self._hold_q)])

    def _timed_out(self, now: float, why: str) -> None:
        if self.config.on_timeout == "disable":
            self.log.warning(f"{why}: disabling every motor")
            self._state = self.DISABLED
        else:
            self.log.warning(f"{why}: every joint holds its position")
            self._enter_hold(now, self.report.outcomes if self.report else [])

    def _enter_hold(self, now: float, outcomes: Sequence[Outcome]) -> None:
        for n, o in enumerate(outcomes):
            if isinstance(o, velkarin.MotorState):
                self._hold_q[n] = o.position
        self._state, self._hold_since = self.HOLDING, now

    def _serve(self, kind: str, done: Future[str], now: float) -> list[Outcome] | None:
        if kind == "set_zero" and self._state != self.DISABLED:
            # A new zero under an enabled joint would move its hold target by the whole offset.
            done.set_exception(RuntimeError("disable first: set_zero moves the position under "
                                            "an enabled joint"))
            return None
        outcomes = _round(getattr(self.group, kind))
        if kind == "clear_error":
            # A motor whose fault was cleared is disabled; one that had none stays as it was.
            # Disabled all alike, the request leaves every motor in one known state.
            outcomes = [c if isinstance(c, RuntimeError) else d
                        for c, d in zip(outcomes, _round(self.group.disable))]
        if kind == "enable":
            self._enter_hold(now, outcomes)
        else:  # disable, clear_error (which leaves a motor disabled) and set_zero
            self._state = self.DISABLED
            self._hold_q = [None] * len(self._hold_q)
        # Done means every motor is where the request puts it: an enable that a latched fault
        # refuses is answered, but leaves that motor disabled.
        expected = 1 if kind == "enable" else 0
        failed = [f"{j.name}: {o}" if isinstance(o, RuntimeError) else f"{j.name}: status {o.error:#x}"
                  for j, o in zip(self.config.joints, outcomes)
                  if isinstance(o, RuntimeError) or o.error != expected]
        if failed:
            done.set_exception(RuntimeError(f"{kind} failed for " + "; ".join(failed)))
        else:
            done.set_result(f"{kind}: {len(outcomes)} motors done")
        return outcomes

    def _watch(self, outcomes: Sequence[Outcome]) -> None:
        """Logs a member that starts or stops failing, and a fault status that comes or goes."""
        for n, (j, o) in enumerate(zip(self.config.joints, outcomes)):
            if isinstance(o, RuntimeError):
                if self._failed[n] != str(o):
                    self._failed[n] = str(o)
                    self.log.warning(f"joint {j.name} ({j.bus}, motor {j.motor_id:#x}) failed: {o}")
                continue
            if self._failed[n] is not None:
                self._failed[n] = None
                self.log.info(f"joint {j.name} answers again")
            if o.error != self._status[n] and (o.error not in HEALTHY_STATUS
                                               or self._status[n] not in HEALTHY_STATUS):
                self.log.warning(f"joint {j.name} reports status {o.error:#x}")
            self._status[n] = o.error

    def disable_all(self, rounds: int = 3) -> list[Outcome]:
        """Disables every motor, retrying members that failed, up to `rounds` rounds; for the
        node's exit, after run() has returned."""
        outcomes = _round(self.group.disable)
        for _ in range(rounds - 1):
            if not any(isinstance(o, RuntimeError) for o in outcomes):
                break
            outcomes = _round(self.group.disable)
        return outcomes


def _round(call: Callable[..., list[velkarin.MotorState]], *args: object) -> list[Outcome]:
    try:
        return list(call(*args))
    except GroupError as e:
        return list(e.outcomes)
