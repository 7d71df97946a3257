"""SIGINT and SIGTERM, as the node's main thread learns of them. Their handlers only note the
signal. Python runs a handler in the main thread between any two of its bytecodes, also inside
threading.Event.wait while that holds the event's own lock, and the lock is not reentrant: a
handler that set an Event there would wait for it for ever, and the node would ignore every
signal after, with the loop still driving the motors."""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
POLL = 0.1  # seconds between the main thread's looks at the signals noted


@contextmanager
def stop_signals() -> Iterator[list[int]]:
    """Handlers that append each stop signal's number to the list yielded (an append takes no
    lock); the handlers before them are back at the end."""
    received: list[int] = []
    previous = {s: signal.signal(s, lambda signum, _frame: received.append(signum))
                for s in STOP_SIGNALS}
    try:
        yield received
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def wait_for_stop(stop: threading.Event, received: list[int]) -> str | None:
    """Waits until a stop signal is noted or `stop` is set (the loop ended, the ROS context shut
    down); the first signal's name, or None."""
    while not received and not stop.wait(POLL):
        pass
    return signal.Signals(received[0]).name if received else None
