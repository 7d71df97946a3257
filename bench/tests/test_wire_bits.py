"""bench/wire_bits, the wire limits' bit counter: cansend's notation read into the frames the
core's golden table counts (classic frames are checked against canbusload on the bus)."""

from __future__ import annotations

import json
import subprocess

import pytest


@pytest.mark.parametrize(
    "frame, counted",
    [
        ("01ABCDEF#0102030405060708", (141, 0, 141_000)),  # eight digits: an extended id
        ("001##17FFF7FF0000007FF", (32, 108, 32_000 + 21_600)),  # FD with bit-rate switch
        ("001##07FFF7FF0000007FF", (140, 0, 140_000)),  # FD without it
        ("800#00", None), ("10001#00", None), ("001#" + "00" * 9, None), ("001##", None),
    ],
)
def test_reads_cansend_notation_into_the_cores_counts(native, frame, counted):
    out = subprocess.run([str(native / "cpp" / "wire_bits"), "--bitrate", "1000000", "--dbitrate",
                          "5000000"], input=frame, capture_output=True, text=True, timeout=30)
    if counted is None:
        assert out.returncode == 1 and "wire_bits:" in out.stderr
        return
    assert out.returncode == 0, out.stderr
    frames = json.loads(out.stdout)["frames"]
    assert [(f["nominal_bits"], f["data_bits"], f["ns"]) for f in frames] == [counted]
