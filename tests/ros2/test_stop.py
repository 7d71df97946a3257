"""The node's stop signals, without ROS or a bus: each is noted and ends the main thread's wait,
also one that lands while the event's lock is held."""

from __future__ import annotations

import signal
import subprocess
import sys
import threading

import pytest

from velkarin_ros2.stop import stop_signals, wait_for_stop


def test_a_signal_while_the_events_lock_is_held_is_noted_and_ends_the_wait() -> None:
    # Python may run the handler inside Event.wait while the event's lock is held, as here; a
    # handler that took that lock would hang for ever, so this runs in a child with a limit.
    code = ("import signal, threading\n"
            "from velkarin_ros2.stop import stop_signals, wait_for_stop\n"
            "stop = threading.Event()\n"
            "with stop_signals() as received:\n"
            "    with stop._cond:\n"
            "        signal.raise_signal(signal.SIGTERM)\n"
            "    print(wait_for_stop(stop, received), stop.is_set())\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout) == (0, "SIGTERM False\n"), out.stderr


@pytest.mark.parametrize(("cause", "name"), [(signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM"),
                                             ("loop ended", None)])
def test_the_wait_ends_on_either_signal_or_the_event_and_the_old_handlers_come_back(
        cause, name) -> None:
    before = [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)]
    stop = threading.Event()
    with stop_signals() as received:
        if cause == "loop ended":
            threading.Thread(target=stop.set).start()
        else:
            signal.raise_signal(cause)
        assert wait_for_stop(stop, received) == name
    assert [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)] == before
