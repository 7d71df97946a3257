"""The stop that always works: a thread of its own, with sockets and a MotorGroup of its own over
the same motors, waiting for nothing but a stop request. STOP (the button, Escape, or an HTTP
POST) sends a disable round at once: neither the drive loop's lock, nor its queue, nor the
page's plotting stands in the way. The sockets are opened for each stop, so that they hold none
of the bus's earlier traffic (which a round would take for its replies). The same thread disables every motor when no page that may
drive has said it is alive for longer than the bound, and when the drive loop stops making
rounds for as long (a loop that died would leave the motors on their last command)."""

from __future__ import annotations

import queue
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import velkarin
from velkarin_group import GroupError, MotorGroup

from velkarin_view.drive import ENABLED, DriveLoop
from velkarin_view.motors import MotorSpec

CHECK_EVERY_S = 0.05  # how often the bounds are looked at, when no request comes
ROUNDS = 3  # disable rounds at most, until no motor says it is enabled


class Pages:
    """When a page that may drive last said it was alive (its stop socket's heartbeat)."""

    def __init__(self) -> None:
        self.last_alive = time.monotonic()

    def alive(self) -> None:
        self.last_alive = time.monotonic()


class Stopper(threading.Thread):
    def __init__(self, specs: Sequence[MotorSpec], *, timeout_ms: int, fd: bool, loop: DriveLoop,
                 pages: Pages, lost_after_s: float, report: Callable[[dict[str, Any]], None]) -> None:
        super().__init__(name="velkarin-view stopper", daemon=True)
        self.specs = specs
        self.fd = fd
        self.motors = [velkarin.Damiao(s.motor_id, s.master_id, timeout_ms=timeout_ms) for s in specs]
        self._group()  # fails here, at start, where it would fail at a stop
        self.loop = loop
        self.pages = pages
        self.lost_after_s = lost_after_s
        self.report = report
        self._requests: queue.SimpleQueue[tuple[str, float]] = queue.SimpleQueue()
        self._closing = threading.Event()
        self._quiet_until = 0.0  # after a bound fired, until the loop has taken the stop in

    def _group(self) -> MotorGroup:
        buses = {s.iface: velkarin.SocketCanTransport(s.iface) for s in self.specs}
        return MotorGroup([(buses[s.iface], m) for s, m in zip(self.specs, self.motors)], fd=self.fd)

    def stop(self, reason: str) -> None:
        """From any thread: disable every motor now."""
        self._requests.put((reason, time.monotonic()))

    def close(self) -> None:
        self._closing.set()
        self._requests.put(("", 0.0))

    def run(self) -> None:
        while not self._closing.is_set():
            try:
                reason, asked = self._requests.get(timeout=CHECK_EVERY_S)
            except queue.Empty:
                reason, asked = self._bound_passed(), time.monotonic()
            if reason and not self._closing.is_set():
                self._disable_all(reason, asked)

    def _bound_passed(self) -> str:
        now = time.monotonic()
        if now < self._quiet_until or not self.loop.any_enabled():
            return ""
        if now - self.pages.last_alive > self.lost_after_s:
            return f"no page that may drive was connected for {self.lost_after_s:g} s"
        if now - self.loop.last_round_at > self.lost_after_s:
            return f"the drive loop made no round for {self.lost_after_s:g} s"
        return ""

    def _disable_all(self, reason: str, asked: float) -> None:
        self.loop.halt()
        for _ in range(ROUNDS):
            try:
                outcomes: list[Any] = self._group().disable()
            except GroupError as e:
                outcomes = e.outcomes
            except OSError as e:  # an interface gone: nothing could be sent on it
                outcomes = [e] * len(self.specs)
            # A reply that says "enabled" can be the answer to a round of the loop's that crossed
            # this one on the bus; the next round's replies come after the disable.
            if not any(isinstance(o, velkarin.MotorState) and o.error == ENABLED for o in outcomes):
                break
        took = time.monotonic() - asked
        self.loop.reopen_buses()
        while not self._requests.empty():  # requests made meanwhile: this round answered them
            if not self._requests.get()[0]:
                self._closing.set()
        self._quiet_until = time.monotonic() + self.lost_after_s
        failed = [f"motor {s.motor_id:#x}: {o}" for s, o in zip(self.specs, outcomes)
                  if not isinstance(o, velkarin.MotorState) or o.error == ENABLED]
        self.report({"type": "stopped", "reason": reason, "seconds": took,
                     "disabled": len(outcomes) - len(failed), "motors": len(outcomes), "failed": failed})
