"""The wire-time arithmetic: stuff bits counted as a transmitter inserts them, the CRC-15 a
receiver accepts, and frame lengths within what the frame format allows."""

from __future__ import annotations

import pytest

import wire


@pytest.mark.parametrize(
    "bits, stuffed",
    [
        ([0, 0, 0, 0], 0),
        ([0, 0, 0, 0, 0], 1),
        ([1, 1, 1, 1, 1], 1),
        ([0] * 10, 2),  # the stuff bit (1) ends the first run; five more zeros need another
        ([0] * 5 + [1] * 4, 2),  # the inserted 1 and four more 1s are five equal bits
        ([0] * 5 + [1] * 3, 1),
        ([0, 1] * 20, 0),
        ([0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0], 0),
    ],
)
def test_stuff_bits_follow_the_transmitters_rule(bits, stuffed):
    assert wire.stuff_bits(bits) == stuffed


@pytest.mark.parametrize(
    "can_id, data",
    [(0x001, bytes.fromhex("7fff7ff0000007ff")), (0x011, bytes.fromhex("117fff7ff7ff1e28")),
     (0x7FF, bytes(8)), (0x000, b""), (0x555, b"\xff" * 8)],
)
def test_crc_leaves_no_remainder_over_the_frame_and_its_crc(can_id, data):
    # A receiver runs the same register over the bits and the CRC: a correct CRC leaves zero.
    part = wire.stuffed_part(can_id, data)
    assert wire.crc15(part) == 0
    assert len(part) == 34 + 8 * len(data)


@pytest.mark.parametrize(
    "can_id, data",
    [(0x001, bytes.fromhex("7fff7ff0000007ff")), (0x000, bytes(8)), (0x7FF, b"\xff" * 8),
     (0x2AA, b"\x55" * 8)],
)
def test_an_8_byte_frame_takes_111_to_135_bits(can_id, data):
    # 98 stuffed bits hold at most (98 - 1) // 4 = 24 stuff bits; 13 bits follow unstuffed.
    assert 111 <= wire.frame_bits(can_id, data) <= 135


def test_all_zero_frame_is_stuffed_every_fifth_bit():
    # id 0, zero data: 15 zeros (SOF, id, RTR, IDE, r0) take 3 stuff bits; DLC 8 is 1000,
    # and its 3 zeros with the 64 of the data take 13 more, before the CRC adds its own.
    assert wire.frame_bits(0x000, bytes(8)) >= 111 + 16
