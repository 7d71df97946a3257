"""The time classic CAN frames take on the wire: the exact bit count of a data frame with a
standard id, stuff bits and the computed CRC-15 included, and what a cycle of frames costs at a
given bit rate. No I/O: the frames are handed in.

A base-format data frame is, in order:

    SOF 1, identifier 11, RTR 1, IDE 1, r0 1, DLC 4, data 8n, CRC 15    (stuffed: 34 + 8n bits)
    CRC delimiter 1, ACK slot 1, ACK delimiter 1, EOF 7, intermission 3  (never stuffed: 13)

so bits = 34 + 8n + stuff + 13, where stuff is the number of bits the transmitter inserts
after every five equal bits of the stuffed part, an inserted bit counting toward the next run.
The CRC is computed over the unstuffed bits from SOF to the end of the data with
x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1.
"""

from __future__ import annotations

from typing import Iterable, Sequence

CRC15_POLY = 0x4599
UNSTUFFED_TAIL_BITS = 1 + 1 + 1 + 7 + 3  # CRC delimiter, ACK slot and delimiter, EOF, intermission


def bits_of(value: int, width: int) -> list[int]:
    """`value` as `width` bits, most significant first (the order they go on the wire)."""
    return [(value >> (width - 1 - i)) & 1 for i in range(width)]


def crc15(bits: Iterable[int]) -> int:
    """The CAN CRC-15 of a bit sequence."""
    crc = 0
    for bit in bits:
        feedback = bit ^ ((crc >> 14) & 1)
        crc = (crc << 1) & 0x7FFF
        if feedback:
            crc ^= CRC15_POLY
    return crc


def stuff_bits(bits: Sequence[int]) -> int:
    """How many stuff bits a transmitter inserts into `bits`: one after every run of five equal
    bits, and the inserted (opposite) bit starts the next run."""
    inserted, run, last = 0, 0, None
    for bit in bits:
        if bit == last:
            run += 1
        else:
            last, run = bit, 1
        if run == 5:
            inserted += 1
            last, run = 1 - bit, 1
    return inserted


def stuffed_part(can_id: int, data: bytes) -> list[int]:
    """SOF to the end of the CRC of a base-format data frame, before stuffing."""
    if not 0 <= can_id <= 0x7FF:
        raise ValueError(f"standard id out of range: {can_id:#x}")
    if len(data) > 8:
        raise ValueError(f"a classic frame carries at most 8 bytes, not {len(data)}")
    head = [0] + bits_of(can_id, 11) + [0, 0, 0] + bits_of(len(data), 4)  # SOF id RTR IDE r0 DLC
    body = head + [b for byte in data for b in bits_of(byte, 8)]
    return body + bits_of(crc15(body), 15)


def frame_bits(can_id: int, data: bytes) -> int:
    """Bits one data frame occupies on the bus, intermission included."""
    part = stuffed_part(can_id, data)
    return len(part) + stuff_bits(part) + UNSTUFFED_TAIL_BITS


def cycle_bits(frames: Iterable[tuple[int, bytes]]) -> int:
    return sum(frame_bits(i, d) for i, d in frames)


def wire_limit(frames: Sequence[tuple[int, bytes]], bitrate: int = 1_000_000) -> dict:
    """The least time one cycle of `frames` needs on a bus at `bitrate`, back to back."""
    bits = cycle_bits(frames)
    us = bits / bitrate * 1e6
    return {"frames": len(frames), "bits": bits, "bitrate": bitrate, "cycle_us": us,
            "cycles_per_s": 1e6 / us,
            "frame_bits": [frame_bits(i, d) for i, d in frames]}
