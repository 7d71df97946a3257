"""A bus's diagnostics level from its failed members and its health, without a bus."""

from __future__ import annotations

import pytest

from velkarin_group import BusHealth

diagnostics = pytest.importorskip("velkarin_ros2.diagnostics")
OK, WARN, ERROR = diagnostics.OK, diagnostics.WARN, diagnostics.ERROR


def health(state: str = "error-active", **frames: int) -> BusHealth:
    named = {k.replace("_", "-"): n for k, n in frames.items()}
    return BusHealth(("can0", state, 0, 0, 0, named, next(iter(named), None)))


@pytest.mark.parametrize(("failed", "now", "before", "level", "message"), [
    (0, None, None, OK, "every motor answers"),
    (0, health(), health(), OK, "every motor answers"),
    (1, health(), None, ERROR, "1 of 3 motors failed"),
    (0, health("bus-off"), None, ERROR, "controller bus-off"),
    (0, health("stopped"), None, ERROR, "controller stopped"),
    (0, health("error-passive"), None, WARN, "controller error-passive"),
    (0, health(no_ack=2), health(no_ack=1), WARN, "error frames: no-ack"),
    (0, health(no_ack=1), health(no_ack=1), OK, "every motor answers"),
])  # fmt: skip
def test_a_buses_level_says_its_worst_news(failed, now, before, level, message):
    assert diagnostics._bus_level(failed, 3, now, before) == (level, message)
