"""Helpers for the robustness tests on the virtual CAN bus: link control with `ip`, a fast motor
stand-in that sees only its commands (kernel filter), a frame flooder, and signals sent later.

`Answerer` and `Flooder` are separate processes (this file run as a script), because a command
holds the interpreter lock while it waits, so nothing in the test's own process can answer it.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any

import canframes
import jsonchild

START_WAIT = 15.0  # seconds a child process may take to open its socket
STOP_WAIT = 10.0  # seconds a child process may take to report and exit



def backend_text(code: int) -> str:
    """A command's RuntimeError text for an operating-system error on the bus."""
    return f"transport error: backend error: {os.strerror(code)} (os error {code})"


ENETDOWN_TEXT = backend_text(errno.ENETDOWN)
ENXIO_TEXT = backend_text(errno.ENXIO)
ENOBUFS_TEXT = backend_text(errno.ENOBUFS)
TIMEOUT_TEXT = "transport error: timeout waiting for frame"

# The feedback bytes 1-5 every stand-in reply carries: position, velocity, torque near zero.
FEEDBACK_MIDDLE = bytes.fromhex("7FFF7FF7FF")
# struct can_raw_filter: can_id, can_mask.
_FILTER = struct.Struct("=II")
SO_RXQ_OVFL = 40  # socket option: the receive-queue drop count as ancillary data
_DATA_FRAME_MASK = canframes.CAN_EFF_FLAG | canframes.CAN_RTR_FLAG | canframes.CAN_SFF_MASK


def system_tool(name: str) -> str:
    for found in (shutil.which(name), f"/usr/sbin/{name}", f"/sbin/{name}"):
        if found and os.access(found, os.X_OK):
            return found
    raise RuntimeError(f"the {name} tool (iproute2) is not installed")


def ip(*args: str) -> None:
    subprocess.run([system_tool("ip"), *args], check=True, stdin=subprocess.DEVNULL, timeout=30)


def _load_qdisc(name: str) -> None:
    """Loads the queueing discipline module `name` (sch_plug, sch_tbf) unless it is in: from the
    user-mode-linux kernel's module tree in the bus harness's guest, else with modprobe."""
    if os.path.isdir(f"/sys/module/{name}"):
        return
    uml = f"/usr/lib/uml/modules/{os.uname().release}/kernel/net/sched/{name}.ko"
    cmd = [system_tool("insmod"), uml] if os.path.exists(uml) else [system_tool("modprobe"), name]
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, timeout=30)


@contextlib.contextmanager
def queue_discipline(iface: str, kind: str, *options: str) -> Iterator[None]:
    """`iface` behind the root queueing discipline `kind` for the block, the default after.

    `plug` holds every frame, as an interface whose frames nobody acknowledges does; with
    `limit BYTES` (16 per classic frame) the queue refuses the next frame with ENOBUFS, as a full
    transmit queue of a real CAN device does. Without a limit, the sending socket's own send
    buffer fills first (after about 278 classic frames)."""
    _load_qdisc(f"sch_{kind}")
    tc = system_tool("tc")
    subprocess.run([tc, "qdisc", "add", "dev", iface, "root", kind, *options], check=True,
                   stdin=subprocess.DEVNULL, timeout=30)
    try:
        yield
    finally:
        subprocess.run([tc, "qdisc", "del", "dev", iface, "root"], check=True,
                       stdin=subprocess.DEVNULL, timeout=30)


def set_link(iface: str, up: bool) -> None:
    ip("link", "set", iface, "up" if up else "down")


def make_vcan(iface: str) -> None:
    """Creates `iface` as the harness does: type vcan, CAN FD mtu 72, up."""
    ip("link", "add", iface, "type", "vcan")
    ip("link", "set", iface, "mtu", str(canframes.CANFD_MTU), "up")


# Descriptors are found with fstat, not /proc/self/fd: in a guest whose /proc is the host's
# (hostfs root without its own procfs) that would list another process.
FD_SCAN = 1024


def _descriptors() -> dict[int, os.stat_result]:
    found = {}
    for fd in range(FD_SCAN):
        with contextlib.suppress(OSError):
            found[fd] = os.fstat(fd)
    return found


def open_fds() -> set[int]:
    return set(_descriptors())


def sockets() -> dict[int, int]:
    """The sockets open in this process: inode -> descriptor."""
    return {st.st_ino: fd for fd, st in _descriptors().items() if stat.S_ISSOCK(st.st_mode)}


def new_socket_fd(before: dict[int, int]) -> int:
    """The descriptor of the one socket opened since `before = sockets()` (a bus object's)."""
    now = sockets()
    (fresh,) = now.keys() - before.keys()
    return now[fresh]


def kernel_drops(fd: int, iface: str) -> int:
    """How many frames the kernel has dropped so far because the receive queue of socket `fd`
    was full. Reads (and so discards) every frame queued on that socket, and leaves it in
    blocking mode."""
    view = socket.socket(fileno=os.dup(fd))  # the same socket, through a second descriptor
    peer = canframes.open_raw_socket(iface)
    try:
        view.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)  # stamps the count on each frame
        view.settimeout(0.0)
        with contextlib.suppress(BlockingIOError):
            while True:  # a full queue would drop the probe too
                view.recv(canframes.CANFD_MTU)
        view.settimeout(2.0)
        probe = canframes.pack_classic(0x7FF, b"drops?")
        peer.send(probe)
        while True:
            raw, ancillary, _, _ = view.recvmsg(canframes.CANFD_MTU, socket.CMSG_SPACE(4))
            if raw == probe:
                for level, kind, data in ancillary:
                    if (level, kind) == (socket.SOL_SOCKET, SO_RXQ_OVFL):
                        return int.from_bytes(data[:4], sys.byteorder)
                return 0  # no stamp: nothing was ever dropped
    finally:
        view.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 0)
        # A time-out set on `view` made the shared open file non-blocking; the bus object's
        # reads rely on a blocking socket.
        view.setblocking(True)
        view.close()
        peer.close()


def error_frame(error_class: int, data: bytes = bytes(8)) -> bytes:
    """A classic error frame as a raw socket writes it: CAN_ERR_FLAG plus the class bits."""
    return canframes.CLASSIC.pack(canframes.CAN_ERR_FLAG | error_class, len(data), data)


def feedback(motor_id: int, t_mos: int, t_rotor: int, error: int = 1) -> bytes:
    return bytes([(error << 4) | (motor_id & 0xF)]) + FEEDBACK_MIDDLE + bytes([t_mos, t_rotor])


# ----------------------------------------------------------------------------------------------
# Child processes.


class _Child(jsonchild.JsonChild):
    """A child process running this file with `role` and its JSON `config`."""

    def __init__(self, role: str, config: dict[str, Any]) -> None:
        super().__init__(__file__, [role, json.dumps(config)], start_wait=START_WAIT, name=f"{role} process")

class Answerer(_Child):
    """A motor stand-in for several motors that the kernel shows only their own frames, so that
    no flood can push a command out of its receive queue. For motor m (master id M) it answers:

    - a classic 8-byte frame on m, 0x100 + m, 0x200 + m or 0x300 + m with feedback on M:
      byte 0 = 0x10 | (m & 0xF), then FEEDBACK_MIDDLE, then the command's bytes 2 and 3 as the
      two temperature bytes (for a VEL frame the upper half of the float velocity);
    - a register read on 0x7FF for m (bytes 0-1) with register 10 = 1 on M."""

    def __init__(self, iface: str, masters: Mapping[int, int]) -> None:
        wire_masters = {str(k): v for k, v in masters.items()}  # JSON keys are text
        super().__init__("answer", {"iface": iface, "masters": wire_masters})

    def replies(self) -> int:
        """The answers sent since the last call."""
        return int(self.request(STOP_WAIT, op="count")["replies"])


class Flooder(_Child):
    """Writes raw kernel frames round robin, as fast as the socket takes them."""

    def __init__(self, iface: str) -> None:
        super().__init__("flood", {"iface": iface})

    def start(self, frames: Iterable[bytes], seconds: float) -> None:
        """Floods with `frames` for `seconds` from now; returns at once."""
        answer = self.request(START_WAIT, frames=[f.hex() for f in frames], seconds=seconds)
        if not answer.get("flooding"):
            raise RuntimeError("flooder did not start")

    def sent(self) -> int:
        """Waits for the flood to end; the number of frames it wrote."""
        return int(self.read(STOP_WAIT)["sent"])


@contextlib.contextmanager
def _signalling_child(sig: int, wait: Callable[[], None]) -> Iterator[None]:
    """A forked child that runs `wait` and then sends `sig` to this process: no thread of this
    process could, while a command holds the interpreter lock."""
    parent = os.getpid()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            wait()
            os.kill(parent, sig)
        finally:
            os._exit(0)
    try:
        yield
    finally:
        # A child still waiting (the block ended early) must not signal a later test.
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


def signal_later(sig: int, delay: float) -> contextlib.AbstractContextManager[None]:
    """Sends `sig` to this process `delay` seconds from now."""
    return _signalling_child(sig, lambda: time.sleep(delay))


@contextlib.contextmanager
def signal_once_sent(sig: int, iface: str, can_ids: Iterable[int], delay: float) -> Iterator[None]:
    """Sends `sig` to this process `delay` seconds after a frame with one of `can_ids` is on
    `iface`: once the command whose wait it interrupts is out, however late a busy machine
    runs the child that sends it."""
    sock = canframes.open_raw_socket(iface, timeout=None)
    try:
        filters = b"".join(_FILTER.pack(can_id, _DATA_FRAME_MASK) for can_id in can_ids)
        sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, filters)

        def wait() -> None:
            canframes.recv_frame(sock)
            time.sleep(delay)

        with _signalling_child(sig, wait):
            yield
    finally:
        sock.close()


# ----------------------------------------------------------------------------------------------
# The process side.


def _answer(config: dict[str, Any]) -> int:
    masters = {int(k): int(v) for k, v in config["masters"].items()}
    by_command_id = {(m + off) & 0x7FF: m for m in masters for off in (0, 0x100, 0x200, 0x300)}
    sock = canframes.open_raw_socket(config["iface"], timeout=0.0)
    filters = b"".join(_FILTER.pack(can_id, _DATA_FRAME_MASK) for can_id in {*by_command_id, 0x7FF})
    sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, filters)
    sock.setblocking(False)
    control = sys.stdin.fileno()
    pending = b""
    replies = 0
    print(json.dumps({"ready": True}), flush=True)
    while True:
        ready = select.select([sock, control], [], [])[0]
        if sock in ready:
            while True:
                try:
                    raw = sock.recv(canframes.CANFD_MTU)
                except BlockingIOError:
                    break
                except OSError as e:
                    if e.errno != errno.ENETDOWN:  # the link went down: wait for it to return
                        raise
                    break
                frame = canframes.unpack(raw)
                if frame.fd or len(frame.data) != 8:
                    continue
                d = frame.data
                if frame.can_id == 0x7FF:
                    motor = int.from_bytes(d[0:2], "little")
                    if d[2] != 0x33 or motor not in masters:
                        continue
                    out = canframes.pack_classic(masters[motor], d[:4] + bytes([1, 0, 0, 0]))
                else:
                    motor = by_command_id[frame.can_id]
                    out = canframes.pack_classic(masters[motor], feedback(motor, d[2], d[3]))
                replies += _write(sock, out)
        if control in ready:
            chunk = os.read(control, 1 << 12)
            if not chunk:
                return 0
            pending += chunk
            while b"\n" in pending:
                _, pending = pending.split(b"\n", 1)
                print(json.dumps({"replies": replies}), flush=True)
                replies = 0


def _write(sock: socket.socket, raw: bytes) -> bool:
    """Sends `raw`; False when the link is down, so the answer never went out."""
    while True:
        try:
            sock.send(raw)
            return True
        except BlockingIOError:
            select.select([], [sock], [], 0.01)
        except OSError as e:
            if e.errno == errno.ENETDOWN:
                return False
            if e.errno != errno.ENOBUFS:  # a full transmit queue only needs a moment
                raise
            select.select([], [sock], [], 0.001)


def _flood(config: dict[str, Any]) -> int:
    sock = canframes.open_raw_socket(config["iface"], timeout=0.0)
    sock.setblocking(False)
    print(json.dumps({"ready": True}), flush=True)
    for line in sys.stdin:
        request = json.loads(line)
        frames = [bytes.fromhex(f) for f in request["frames"]]
        print(json.dumps({"flooding": True}), flush=True)
        sent = 0
        end = time.monotonic() + float(request["seconds"])
        while time.monotonic() < end:
            for raw in frames:
                try:
                    sock.send(raw)
                    sent += 1
                except BlockingIOError:
                    select.select([], [sock], [], 0.001)
                except OSError as e:
                    if e.errno != errno.ENOBUFS:
                        raise
                    select.select([], [sock], [], 0.001)
        print(json.dumps({"sent": sent}), flush=True)
    return 0


if __name__ == "__main__":
    role, raw_config = sys.argv[1], json.loads(sys.argv[2])
    sys.exit({"answer": _answer, "flood": _flood}[role](raw_config))
