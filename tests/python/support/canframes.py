"""Raw kernel CAN frames for test peers: the 16-byte struct can_frame and the 72-byte
struct canfd_frame as a CAN_RAW socket reads and writes them, plus a socket opener."""

from __future__ import annotations

import dataclasses
import socket
import struct

CAN_EFF_FLAG = 0x80000000  # extended (29-bit) identifier
CAN_RTR_FLAG = 0x40000000  # remote transmission request
CAN_ERR_FLAG = 0x20000000  # error frame
CAN_SFF_MASK = 0x000007FF
CAN_EFF_MASK = 0x1FFFFFFF

CANFD_BRS = 0x01  # bit rate switch
CANFD_ESI = 0x02  # error state indicator
CANFD_FDF = 0x04  # set by newer kernels on frames that are CAN FD

CAN_MTU = 16
CANFD_MTU = 72
CAN_MAX_DLEN = 8
CANFD_MAX_DLEN = 64

# struct can_frame: can_id, len, __pad, __res0, len8_dlc, data[8]
CLASSIC = struct.Struct("=IB3x8s")
# struct canfd_frame: can_id, len, flags, __res0, __res1, data[64]
FD = struct.Struct("=IBBBB64s")
assert CLASSIC.size == CAN_MTU and FD.size == CANFD_MTU

# Payload lengths a CAN FD frame can carry on the wire.
FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)


@dataclasses.dataclass(frozen=True)
class Frame:
    """One frame as the kernel passed it: identifier without flag bits, the flags split out."""

    can_id: int
    data: bytes = b""
    extended: bool = False
    remote: bool = False
    error: bool = False
    fd: bool = False
    fd_flags: int = 0  # CANFD_* bits of an FD frame
    length: int = 0  # the len field (for a remote frame: the requested length)


def _id_word(can_id: int, extended: bool, remote: bool) -> int:
    mask = CAN_EFF_MASK if extended else CAN_SFF_MASK
    if not 0 <= can_id <= mask:
        raise ValueError(f"identifier {can_id:#x} does not fit {'29' if extended else '11'} bits")
    return can_id | (CAN_EFF_FLAG if extended else 0) | (CAN_RTR_FLAG if remote else 0)


def pack_classic(
    can_id: int,
    data: bytes = b"",
    *,
    extended: bool = False,
    remote: bool = False,
    length: int | None = None,
) -> bytes:
    """A 16-byte struct can_frame. A remote frame carries no data, only `length`."""
    if len(data) > CAN_MAX_DLEN:
        raise ValueError(f"a classic frame carries at most 8 bytes, not {len(data)}")
    if remote and data:
        raise ValueError("a remote frame carries no data")
    n = len(data) if length is None else length
    if not 0 <= n <= CAN_MAX_DLEN:
        raise ValueError(f"classic length {n} outside 0..8")
    return CLASSIC.pack(_id_word(can_id, extended, remote), n, data)


def pack_fd(
    can_id: int,
    data: bytes = b"",
    *,
    extended: bool = False,
    brs: bool = False,
    flags: int = 0,
) -> bytes:
    """A 72-byte struct canfd_frame; `flags` adds raw CANFD_* bits beside `brs`."""
    if len(data) > CANFD_MAX_DLEN:
        raise ValueError(f"an FD frame carries at most 64 bytes, not {len(data)}")
    fd_flags = flags | (CANFD_BRS if brs else 0)
    return FD.pack(_id_word(can_id, extended, False), len(data), fd_flags, 0, 0, data)


def unpack(raw: bytes) -> Frame:
    """Splits what a CAN_RAW socket read into a Frame; the size tells classic from FD."""
    if len(raw) == CAN_MTU:
        word, n, payload = CLASSIC.unpack(raw)
        fd, fd_flags = False, 0
        limit = CAN_MAX_DLEN
    elif len(raw) == CANFD_MTU:
        word, n, fd_flags, _, _, payload = FD.unpack(raw)
        fd = True
        limit = CANFD_MAX_DLEN
    else:
        raise ValueError(f"a kernel CAN frame is {CAN_MTU} or {CANFD_MTU} bytes, not {len(raw)}")
    if n > limit:
        raise ValueError(f"length field {n} beyond the frame's {limit} data bytes")
    extended = bool(word & CAN_EFF_FLAG)
    remote = bool(word & CAN_RTR_FLAG)
    return Frame(
        can_id=word & (CAN_EFF_MASK if extended else CAN_SFF_MASK),
        data=b"" if remote else payload[:n],
        extended=extended,
        remote=remote,
        error=bool(word & CAN_ERR_FLAG),
        fd=fd,
        fd_flags=fd_flags,
        length=n,
    )


def open_raw_socket(iface: str, *, fd_frames: bool = True, timeout: float = 2.0) -> socket.socket:
    """A CAN_RAW socket bound to `iface` (all identifiers, no filter) with a receive time-out."""
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        if fd_frames:
            sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
        sock.settimeout(timeout)
        sock.bind((iface,))
    except BaseException:
        sock.close()
        raise
    return sock


def recv_frame(sock: socket.socket) -> Frame:
    """Reads one frame; socket.timeout (TimeoutError) when none comes within the time-out."""
    return unpack(sock.recv(CANFD_MTU))


def drain(sock: socket.socket) -> list[Frame]:
    """Reads whatever is queued without waiting and returns it."""
    frames = []
    previous = sock.gettimeout()
    sock.settimeout(0.0)
    try:
        while True:
            try:
                frames.append(unpack(sock.recv(CANFD_MTU)))
            except BlockingIOError:
                return frames
    finally:
        sock.settimeout(previous)
