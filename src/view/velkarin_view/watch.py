"""Watch mode: what another program commands and what the motors answer, read off the bus by a
socket that only receives. No velkarin bus object exists in this mode, and the socket here is
a raw CAN socket kept behind a class that has no way to send: a kernel filter passes only the
watched motors' frames, and the only call made on it is recv. Feedback rows carry the last
command seen (within COMMAND_FRESH_S) as their targets, so the page overlays command against
feedback exactly as in drive mode. The frames are read by the core (velkarin_group.read_frame),
with each motor's ids and limits."""

from __future__ import annotations

import select
import socket
import struct
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import velkarin
import velkarin_group

from velkarin_view.control import NO_TARGETS, Targets
from velkarin_view.display import Row
from velkarin_view.motors import MotorSpec
from velkarin_view.recording import Recorder

CAN_SFF_MASK, CAN_EFF_FLAG, CAN_RTR_FLAG, CAN_ERR_FLAG = 0x7FF, 0x80000000, 0x40000000, 0x20000000
CANFD_MTU = 72
COMMAND_FRESH_S = 0.5  # a command older than this is no longer what the motor follows
READ_WAKE_S = 0.2  # how soon the reader notices the view closing
STATS_EVERY_S = 0.5


class ListenOnlySocket:
    """A CAN_RAW socket on one interface that receives the standard data frames of the given
    identifiers (classic and FD) and offers nothing but receiving them."""

    def __init__(self, iface: str, identifiers: Sequence[int]) -> None:
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
            # Extended, remote and error frames never match: their flag bits are in the mask.
            mask = CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG
            rules = b"".join(struct.pack("=II", i, mask) for i in sorted(set(identifiers)))
            sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, rules)
            sock.settimeout(READ_WAKE_S)
            sock.bind((iface,))
        except BaseException:
            sock.close()
            raise
        self._sock = sock
        self.iface = iface

    def fileno(self) -> int:
        return self._sock.fileno()

    def receive(self) -> tuple[int, bytes] | None:
        """The next frame's identifier and data, or None when none came within READ_WAKE_S."""
        try:
            raw = self._sock.recv(CANFD_MTU)
        except TimeoutError:
            return None
        word, length = struct.unpack_from("=IB", raw)
        return word & CAN_SFF_MASK, raw[8:8 + length]

    def close(self) -> None:
        self._sock.close()


class WatchedMotor:
    def __init__(self, spec: MotorSpec) -> None:
        assert spec.limits is not None
        self.spec = spec
        # Never given a bus: it only reads the frames seen with the motor's ids and limits.
        self.reader = velkarin.Damiao(spec.motor_id, spec.master_id, spec.limits.mit_limits())
        self.command: tuple[str, dict[str, float]] | None = None
        self.command_at = 0.0
        self.commands = self.feedback = 0
        self.mode: str | None = None

    def targets(self, now: float, fb: velkarin.MotorState) -> Targets:
        if self.command is None or now - self.command_at > COMMAND_FRESH_S:
            return NO_TARGETS
        mode, f = self.command
        if mode == "mit":
            assert self.spec.limits is not None
            law = f["kp"] * (f["q"] - fb.position) + f["kd"] * (f["dq"] - fb.velocity) + f["tau"]
            t_max = self.spec.limits.t_max
            return f["q"], f["dq"], min(max(law, -t_max), t_max)
        if mode == "vel":
            return None, f["velocity"], None
        return f["position"], None, None


class Watcher(threading.Thread):
    """Reads every watched interface and turns its frames into rows, events and counts."""

    def __init__(self, specs: Sequence[MotorSpec], recorder: Recorder) -> None:
        super().__init__(name="velkarin-view watcher", daemon=True)
        self.specs = specs
        self.recorder = recorder
        self.motors = [WatchedMotor(s) for s in specs]
        ifaces = list(dict.fromkeys(s.iface for s in specs))
        self.sockets = [ListenOnlySocket(i, [x for m in self.motors if m.spec.iface == i
                                             for x in velkarin_group.watched_ids(m.reader)])
                        for i in ifaces]
        self.t0 = time.monotonic()
        self.stats: dict[str, Any] = {}
        self.on_event: Callable[[int, str], None] = lambda motor, text: None
        self._rows_lock = threading.Lock()
        self._rows: list[list[Row]] = [[] for _ in specs]
        self._closing = threading.Event()
        # (interface, identifier) -> the motors that identifier may carry frames of
        self._routes: dict[tuple[str, int], list[int]] = {}
        for n, m in enumerate(self.motors):
            for can_id in velkarin_group.watched_ids(m.reader):
                self._routes.setdefault((m.spec.iface, can_id), []).append(n)

    def take_rows(self) -> list[list[Row]]:
        with self._rows_lock:
            rows, self._rows = self._rows, [[] for _ in self.specs]
        return rows

    def close(self) -> None:
        self._closing.set()

    def run(self) -> None:
        next_stats = 0.0
        try:
            while not self._closing.is_set():
                ready, _, _ = select.select(self.sockets, [], [], READ_WAKE_S)
                for sock in ready:
                    frame = sock.receive()
                    if frame is not None:
                        self._take(sock.iface, *frame)
                if time.monotonic() >= next_stats:
                    next_stats = time.monotonic() + STATS_EVERY_S
                    self.stats = {"watch": [{"commands": m.commands, "feedback": m.feedback, "mode": m.mode}
                                            for m in self.motors]}
        finally:
            for sock in self.sockets:
                sock.close()

    def _take(self, iface: str, can_id: int, data: bytes) -> None:
        now = time.monotonic()
        for n in self._routes.get((iface, can_id), []):
            m = self.motors[n]
            seen = velkarin_group.read_frame(m.reader, can_id, data)
            if seen is None:
                continue
            kind, value = seen
            if kind == "feedback":
                self._feedback(n, now, value)
            elif kind in ("request", "reply"):
                who = "another program asks" if kind == "request" else "the motor answers"
                self.on_event(n, f"{who}: {traffic_text(value)}")
            elif kind == "special":
                self.on_event(n, f"another program sends: {value}")
            else:
                m.command, m.command_at, m.mode = seen, now, kind
                m.commands += 1

    def _feedback(self, n: int, now: float, fb: velkarin.MotorState) -> None:
        m = self.motors[n]
        m.feedback += 1
        t = now - self.t0
        row = (t, fb.error, fb.position, fb.velocity, fb.torque, fb.t_mos, fb.t_rotor) + m.targets(now, fb)
        with self._rows_lock:
            self._rows[n].append(row)
        self.recorder.add([(t, m.spec.motor_id, fb.error, fb.position, fb.velocity, fb.torque,
                            fb.t_mos, fb.t_rotor)])


def traffic_text(register: dict[str, Any]) -> str:
    """'read of register 21', 'write of register 8', 'store', 'refresh'."""
    op = register["op"]
    return op if op in ("store", "refresh") else f"{op} of register {register['register']}"
