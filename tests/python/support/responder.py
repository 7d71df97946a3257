"""A motor stand-in for tests on the virtual CAN bus: a separate process with its own raw CAN
socket that answers frames by a script, sends or floods frames on request, and records every
frame it sees with its arrival time on the monotonic clock.

A command holds the interpreter lock while it waits for its reply, so the answer must come from
another process. The test side is `Responder` (start, script, send, flood, collect, close); the
process side is `serve`, which runs when this file is executed as a script. The two talk JSON, one
object a line, over the child's stdin and stdout.
"""

from __future__ import annotations

import dataclasses
import heapq
import json
import os
import select
import socket
import struct
import sys
import time
from collections.abc import Iterable, Sequence
from typing import Any

import canframes
import jsonchild

REPLY_WAIT = 5.0  # seconds the test side waits for an answer from the process
QUIET_LIMIT = 3.0  # longest a collect may wait for the bus to fall quiet
START_WAIT = 15.0  # seconds to wait for the process to open its socket


@dataclasses.dataclass(frozen=True)
class Out(canframes.Frame):
    """A frame for the stand-in to send. `length` counts only for a remote frame (the requested
    length), `brs` and `fd_flags` only for an FD frame; error frames are not sent."""

    brs: bool = False

    def raw(self) -> bytes:
        """The kernel frame to write. Packed on this side, so a bad frame fails the test where
        it is made, not in the middle of a run."""
        if self.error:
            raise ValueError("the stand-in sends no error frames")
        if self.fd:
            return canframes.pack_fd(
                self.can_id, self.data, extended=self.extended, brs=self.brs, flags=self.fd_flags
            )
        return canframes.pack_classic(
            self.can_id,
            self.data,
            extended=self.extended,
            remote=self.remote,
            length=self.length if self.remote else None,
        )

    def wire(self) -> str:
        return self.raw().hex()


@dataclasses.dataclass(frozen=True)
class Rule:
    """On a standard data frame with identifier `can_id` (and exactly `data`, when given), send
    `reply` after `delay` seconds. A rule with `times` fires that often and then drops out; the
    first live rule that matches a frame is the one that fires."""

    can_id: int
    reply: Sequence[Out] = ()
    data: bytes | None = None
    delay: float = 0.0
    times: int | None = None

    def wire(self) -> dict[str, Any]:
        return {
            "id": self.can_id,
            "data": None if self.data is None else self.data.hex(),
            "delay": self.delay,
            "times": self.times,
            "reply": [f.wire() for f in self.reply],
        }


@dataclasses.dataclass(frozen=True)
class Seen(canframes.Frame):
    """A frame the stand-in received, stamped with the kernel's time of its arrival (the
    realtime clock, in seconds): gaps between frames are exact, however late the stand-in woke."""

    t: float = 0.0


@dataclasses.dataclass(frozen=True)
class Record:
    seen: list[Seen]  # the first `keep` frames of the script, in arrival order
    count: int  # every frame received since the script was set
    flood_sent: int  # flood frames sent since the script was set


class ResponderError(RuntimeError):
    pass


class Responder(jsonchild.JsonChild):
    """The test side: starts the process and drives it. Every wait is bounded; `close` kills."""

    def __init__(self, iface: str) -> None:
        super().__init__(
            __file__, [iface], start_wait=START_WAIT, name="stand-in", error=ResponderError
        )

    def _call(self, wait: float = REPLY_WAIT, **message: Any) -> dict[str, Any]:
        answer = self.request(wait, **message)
        if "error" in answer:
            raise ResponderError(answer["error"])
        return answer

    def script(self, rules: Iterable[Rule] = (), *, keep: int = 10_000) -> None:
        """Forgets the previous script, its pending replies, its flood and its record, drops
        whatever is queued on the socket, and answers by `rules` from now on."""
        self._call(op="script", rules=[r.wire() for r in rules], keep=keep)

    def send(self, frames: Iterable[Out]) -> None:
        """Sends the frames at once, in order; returns once they are written."""
        self._call(op="send", frames=[f.wire() for f in frames])

    def flood(self, seconds: float, frame: Out) -> None:
        """Sends `frame` over and over, as fast as the socket takes it, for `seconds`; returns at
        once while the process floods on and keeps answering by its script."""
        self._call(op="flood", seconds=seconds, frame=frame.wire())

    def collect(self, quiet: float = 0.05) -> Record:
        """The record so far, once no frame has arrived and nothing is due for `quiet` seconds."""
        answer = self._call(REPLY_WAIT + QUIET_LIMIT, op="collect", quiet=quiet)
        seen = [
            Seen(t=t, **vars(canframes.unpack(bytes.fromhex(raw)))) for t, raw in answer["seen"]
        ]
        return Record(seen=seen, count=answer["count"], flood_sent=answer["flood_sent"])


# ----------------------------------------------------------------------------------------------
# The process side.


# Linux's SO_TIMESTAMPNS (also its control message's type), which the socket module does not name.
SO_TIMESTAMPNS = 35
STAMP = struct.Struct("=qq")  # struct timespec


def kernel_stamp(ancillary: list[tuple[int, int, bytes]]) -> float:
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= STAMP.size:
            sec, nsec = STAMP.unpack_from(data)
            return sec + nsec / 1e9
    raise RuntimeError("a received frame came without the kernel's arrival stamp")


class _Server:
    def __init__(self, iface: str) -> None:
        self.sock = canframes.open_raw_socket(iface, timeout=0.0)
        self.sock.setblocking(False)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.rules: list[dict[str, Any]] = []
        self.due: list[tuple[float, int, list[bytes]]] = []  # (when, order, frames) heap
        self.order = 0
        self.keep = 0
        self.seen: list[tuple[float, str]] = []  # (kernel arrival stamp, kernel frame in hex)
        self.count = 0
        self.flood_until = 0.0
        self.flood_frame = b""
        self.flood_sent = 0
        self.last_arrival = 0.0

    def write(self, raw: bytes) -> None:
        # vcan delivers at once; a full transmit queue only needs a moment.
        deadline = time.monotonic() + 1.0
        while True:
            try:
                self.sock.send(raw)
                return
            except (BlockingIOError, OSError) as e:
                if isinstance(e, BlockingIOError) or e.errno == 105:  # ENOBUFS
                    if time.monotonic() > deadline:
                        raise
                    select.select([], [self.sock], [], 0.01)
                    continue
                raise

    def reset(self, rules: list[dict[str, Any]], keep: int) -> None:
        while True:
            try:
                self.sock.recv(canframes.CANFD_MTU)
            except BlockingIOError:
                break
        self.rules = [{**r, "reply": [bytes.fromhex(f) for f in r["reply"]]} for r in rules]
        self.due = []
        self.keep = keep
        self.seen = []
        self.count = 0
        self.flood_until = 0.0
        self.flood_sent = 0
        self.last_arrival = 0.0

    def on_frame(self, raw: bytes, now: float, arrived: float) -> None:
        frame = canframes.unpack(raw)
        self.count += 1
        self.last_arrival = now
        if len(self.seen) < self.keep:
            self.seen.append((arrived, raw.hex()))
        if frame.extended or frame.remote:
            return
        for rule in self.rules:
            if rule["times"] == 0 or rule["id"] != frame.can_id:
                continue
            if rule["data"] is not None and bytes.fromhex(rule["data"]) != frame.data:
                continue
            if rule["times"] is not None:
                rule["times"] -= 1
            frames = rule["reply"]
            if rule["delay"] <= 0:
                for f in frames:
                    self.write(f)
            else:
                self.order += 1
                heapq.heappush(self.due, (now + rule["delay"], self.order, frames))
            return

    def pump(self, wait: float, control: int | None) -> bool:
        """Runs the bus for up to `wait` seconds; True when the control pipe became readable."""
        watch = [self.sock] + ([control] if control is not None else [])
        end = time.monotonic() + wait
        while True:
            now = time.monotonic()
            while self.due and self.due[0][0] <= now:
                for f in heapq.heappop(self.due)[2]:
                    self.write(f)
            flooding = now < self.flood_until
            if flooding:
                # A burst between looks at the socket keeps the rate near the socket's.
                for _ in range(16):
                    self.write(self.flood_frame)
                self.flood_sent += 16
            left = end - now
            if self.due:
                left = min(left, self.due[0][0] - now)
            ready, _, _ = select.select(watch, [], [], 0.0 if flooding else max(left, 0.0))
            if self.sock in ready:
                for _ in range(64):
                    try:
                        raw, ancillary, _, _ = self.sock.recvmsg(canframes.CANFD_MTU, 64)
                    except BlockingIOError:
                        break
                    self.on_frame(raw, time.monotonic(), kernel_stamp(ancillary))
            if control is not None and control in ready:
                return True
            if time.monotonic() >= end and not (self.due and self.due[0][0] <= time.monotonic()):
                return False

    def settle(self, quiet: float) -> None:
        """Runs the bus until nothing arrived and nothing was due for `quiet` seconds."""
        limit = time.monotonic() + QUIET_LIMIT
        mark = time.monotonic()
        while time.monotonic() < limit:
            self.pump(min(quiet, limit - time.monotonic()), None)
            now = time.monotonic()
            busy = self.due or now < self.flood_until
            if not busy and now - max(self.last_arrival, mark) >= quiet:
                return


def serve(iface: str) -> int:
    server = _Server(iface)
    control = sys.stdin.fileno()
    out = sys.stdout

    def answer(obj: dict[str, Any]) -> None:
        out.write(json.dumps(obj) + "\n")
        out.flush()

    answer({"ready": True})
    buf = b""
    while True:
        if b"\n" not in buf:
            # Idle or busy, the bus keeps running while the test side is quiet.
            if not server.pump(3600.0, control):
                continue
            chunk = os.read(control, 1 << 16)
            if not chunk:
                return 0  # the test side went away
            buf += chunk
            continue
        line, buf = buf.split(b"\n", 1)
        msg = json.loads(line)
        try:
            op = msg["op"]
            if op == "script":
                server.reset(msg["rules"], msg["keep"])
                answer({"ok": True})
            elif op == "send":
                for f in msg["frames"]:
                    server.write(bytes.fromhex(f))
                answer({"ok": True})
            elif op == "flood":
                server.flood_frame = bytes.fromhex(msg["frame"])
                server.flood_until = time.monotonic() + msg["seconds"]
                answer({"ok": True})
            elif op == "collect":
                server.settle(msg["quiet"])
                answer(
                    {"seen": server.seen, "count": server.count, "flood_sent": server.flood_sent}
                )
            else:
                answer({"error": f"unknown op {op!r}"})
        except Exception as e:  # reported to the test, which fails on it
            answer({"error": f"{type(e).__name__}: {e}"})


if __name__ == "__main__":
    sys.exit(serve(sys.argv[1]))
