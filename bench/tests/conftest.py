"""pytest set-up for the benchmark's own tests: the bench modules import from the bench folder,
and the native helpers come from build/bench (bench/run builds them there)."""

from __future__ import annotations

import os
import socket
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(BENCH))
BUILD = Path(os.environ.get("BENCH_BUILD", BENCH.parent / "build" / "bench"))


def can_interface_up(name: str) -> bool:
    try:
        socket.if_nametoindex(name)
        with socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW):
            return True
    except OSError:
        return False


@pytest.fixture
def vcan0() -> str:
    if not can_interface_up("vcan0"):
        if os.environ.get("VELKARIN_REQUIRE_BUS") == "1":
            pytest.fail("vcan0 is missing inside the bus harness")
        pytest.skip("needs vcan0: run under tools/vcan-run")
    return "vcan0"


@pytest.fixture
def native() -> Path:
    for name in ("floor", "libinproc_responder.so", "cpp/cycle", "cpp/wire_bits"):
        if not (BUILD / name).exists():
            pytest.skip(f"{BUILD / name} not built: bench/run builds it")
    return BUILD
