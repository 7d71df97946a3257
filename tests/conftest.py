"""Shared pytest set-up of the Python tests (tests/python) and the tool's tests (tests/tool):
markers, and fixtures for tests on the virtual CAN bus.

Bus tests ask for `vcan` (the name "vcan0"), `vcan1`, `raw_peer` (a raw socket on vcan0) or
`start_sim` (velkarin-sim on vcan0), or carry the `requires_bus` marker. Outside tools/vcan-run
they skip; inside it (VELKARIN_REQUIRE_BUS=1) a missing interface fails them, so a harness run
never passes by skipping.
"""

from __future__ import annotations

import os
import socket
import sys
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

# The tests' helpers (stand-in processes, frame packing, the simulator driver) live in support/;
# the stand-ins also run as scripts from there, so they import each other as top-level modules.
sys.path.insert(0, str(Path(__file__).resolve().parent / "python" / "support"))

import canframes  # noqa: E402
import sim  # noqa: E402

PEER_TIMEOUT = 2.0  # seconds a peer waits for a frame before the test fails


def bus_required() -> bool:
    return os.environ.get("VELKARIN_REQUIRE_BUS") == "1"


def interface_present(name: str) -> bool:
    try:
        socket.if_nametoindex(name)
    except OSError:
        return False
    return True


def need_interface(name: str) -> str:
    if not interface_present(name):
        if bus_required():
            pytest.fail(f"{name} is missing inside the bus harness")
        pytest.skip("needs a CAN bus: run under tools/vcan-run")
    return name


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "requires_bus: the test needs vcan0 and vcan1 (tools/vcan-run)")
    config.addinivalue_line(
        "markers",
        "harness_host: the test runs tools/vcan-run itself, so it runs on the host, never inside it",
    )
    config.addinivalue_line("markers", "browser: the test drives the view's page in headless Chromium")


def pytest_runtest_setup(item: pytest.Item) -> None:
    if item.get_closest_marker("requires_bus") is not None:
        need_interface("vcan0")
        need_interface("vcan1")


@pytest.fixture
def vcan() -> str:
    """The name of the first virtual bus, "vcan0"."""
    return need_interface("vcan0")


@pytest.fixture
def vcan1() -> str:
    """The name of the second virtual bus, "vcan1"."""
    return need_interface("vcan1")


@pytest.fixture
def raw_peer(vcan: str) -> Iterator[socket.socket]:
    """A CAN_RAW socket on vcan0 that takes FD frames and waits PEER_TIMEOUT per read."""
    sock = canframes.open_raw_socket(vcan, timeout=PEER_TIMEOUT)
    try:
        yield sock
    finally:
        sock.close()


Start = Callable[..., sim.Sim]


@pytest.fixture
def start_sim(vcan: str) -> Iterator[Start]:
    """start_sim(*motors, options=()) runs one velkarin-sim on vcan0 and stops it at the
    end of the test, which fails unless it then exits with status 0."""
    exe = sim.find_sim()
    if exe is None:
        reason = f"{sim.EXE_NAME} not found on PATH, beside the interpreter or in ${sim.ENV_VAR}"
        if bus_required():
            pytest.fail(reason)
        pytest.skip(reason)
    running: list[sim.Sim] = []

    def start(*motors: str, options: tuple[str, ...] = ()) -> sim.Sim:
        s = sim.Sim(exe, vcan, motors, options)
        running.append(s)
        return s

    yield start
    assert [s.stop() for s in running] == [0] * len(running)
