"""Commands on a bus that takes no more frames (nothing acknowledges them, so they pile up): a
`plug` queueing discipline on vcan1 holds every frame. Each command still ends within its own
time-out, with ENOBUFS once the socket's send buffer is full, and Ctrl-C ends one that waits for
room. A plug with a byte limit refuses frames with ENOBUFS, as a full transmit queue of a real CAN
device does: a single command reports it at once."""

from __future__ import annotations

import signal
import time
from collections.abc import Iterator

import pytest

from robust_util import ENOBUFS_TEXT, TIMEOUT_TEXT, queue_discipline, signal_later
from velkarin import Damiao, SocketCanTransport

pytestmark = pytest.mark.requires_bus

BOUND = 5.0  # seconds any one command with a 20 ms time-out may take here, a slow guest included
FILL_CALLS = 2000  # far more than a send buffer holds (about 278 classic frames)


def failure(call) -> tuple[str, float]:
    """The RuntimeError text of `call()` and the seconds it took."""
    start = time.monotonic()
    with pytest.raises(RuntimeError) as raised:
        call()
    return str(raised.value), time.monotonic() - start


@pytest.fixture
def plugged(vcan1: str) -> Iterator[SocketCanTransport]:
    with queue_discipline(vcan1, "plug"):
        yield SocketCanTransport(vcan1)


def fill_send_buffer(bus: SocketCanTransport) -> int:
    """Sends commands that nobody answers until the socket's send buffer is full; how many."""
    quick = Damiao(1, 0x11, timeout_ms=0)
    for n in range(FILL_CALLS):
        text, _ = failure(lambda: quick.enable(bus))
        if text == ENOBUFS_TEXT:
            return n
        assert text == TIMEOUT_TEXT
    pytest.fail(f"{FILL_CALLS} frames did not fill the send buffer")


def test_commands_on_a_bus_that_takes_no_frames_end_within_their_time_out(plugged):
    assert fill_send_buffer(plugged) > 100
    motor = Damiao(1, 0x11, timeout_ms=20)
    for call in (lambda: motor.enable(plugged), lambda: motor.ensure_mit_mode(plugged)) * 5:
        text, took = failure(call)
        assert (text, took < BOUND) == (ENOBUFS_TEXT, True)


def test_ctrl_c_ends_a_command_waiting_for_room_to_send(plugged):
    fill_send_buffer(plugged)
    patient = Damiao(1, 0x11, timeout_ms=60_000)
    start = time.monotonic()
    with signal_later(signal.SIGINT, 0.3), pytest.raises(KeyboardInterrupt):
        patient.disable(plugged)
    assert time.monotonic() - start < 0.3 + BOUND


def test_a_full_transmit_queue_fails_a_command_at_once(vcan1):
    # 64 bytes hold four classic frames; the fifth is refused.
    with queue_discipline(vcan1, "plug", "limit", "64"):
        bus = SocketCanTransport(vcan1)
        quick = Damiao(1, 0x11, timeout_ms=0)
        assert [failure(lambda: quick.enable(bus))[0] for _ in range(4)] == [TIMEOUT_TEXT] * 4
        text, took = failure(lambda: Damiao(1, 0x11, timeout_ms=5000).enable(bus))
        assert (text, took < BOUND) == (ENOBUFS_TEXT, True)
