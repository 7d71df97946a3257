"""Every command gets its own reply on vcan0: after a reply that came too late, a single command
and a round each get theirs, never the late one; a signal handler's command while another command
waits on the same motor gets its own reply, and the interrupted call keeps its own."""

from __future__ import annotations

import signal
from collections.abc import Callable

import pytest

from responder import Out, Responder, Rule
from robust_util import TIMEOUT_TEXT, feedback
from velkarin import Damiao, SocketCanTransport
from velkarin_group import MotorGroup

pytestmark = pytest.mark.requires_bus

ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")
DISABLE = bytes.fromhex("FFFFFFFFFFFFFFFD")
ENABLED, DISABLED = 1, 0


def answers(enable_delay: float = 0.0, disable_delay: float = 0.0, first_enable_late: float = 0.0) -> list[Rule]:
    """Motor 1 on 0x11: each reply carries the state its command leaves, in its status code."""
    late = [Rule(0x001, [Out(0x11, feedback(1, 1, 1, ENABLED))], ENABLE, first_enable_late, times=1)]
    return (late if first_enable_late else []) + [
        Rule(0x001, [Out(0x11, feedback(1, 2, 2, ENABLED))], ENABLE, enable_delay),
        Rule(0x001, [Out(0x11, feedback(1, 3, 3, DISABLED))], DISABLE, disable_delay),
    ]


@pytest.fixture
def motor(vcan: str):
    responder = Responder(vcan)
    try:
        yield responder
    finally:
        responder.close()


TIMEOUT_MS = 400  # every margin below is a quarter of it or more, against a loaded machine
# A slow motor: its first reply comes a quarter time-out after the deadline, and the replies after
# it, in order, half a time-out after their commands.
FIRST_LATE, THEN = 1.25 * TIMEOUT_MS / 1000, 0.5 * TIMEOUT_MS / 1000


@pytest.mark.parametrize("next_call", ["single", "round"])
def test_a_reply_after_its_deadline_is_never_the_next_commands(vcan, motor, next_call):
    motor.script(answers(THEN, THEN, first_enable_late=FIRST_LATE))
    bus = SocketCanTransport(vcan)
    m = Damiao(1, 0x11, timeout_ms=TIMEOUT_MS)
    group = MotorGroup([(bus, m)])
    disable = (lambda: m.disable(bus)) if next_call == "single" else (lambda: group.disable()[0])
    with pytest.raises(RuntimeError, match=TIMEOUT_TEXT):
        m.enable(bus)
    assert disable().error == DISABLED
    assert m.enable(bus).error == ENABLED
    assert disable().error == DISABLED


# A handler disables the motor while a call on it waits: both replies come late, in order.
CALLS: dict[str, Callable[[SocketCanTransport, Damiao, MotorGroup], object]] = {
    "single": lambda bus, m, g: m.enable(bus),
    "round": lambda bus, m, g: g.enable()[0],
}
HANDLER_COMMANDS: dict[str, Callable[[SocketCanTransport, Damiao, MotorGroup], object]] = {
    "single": lambda bus, m, g: m.disable(bus),
    "round": lambda bus, m, g: g.disable()[0],
}


@pytest.mark.parametrize("in_handler", HANDLER_COMMANDS)
@pytest.mark.parametrize("interrupted", CALLS)
def test_a_handlers_command_and_the_call_it_interrupted_keep_their_own_replies(
    vcan, motor, interrupted, in_handler
):
    motor.script(answers(enable_delay=0.3, disable_delay=0.3))
    bus = SocketCanTransport(vcan)
    m = Damiao(1, 0x11, timeout_ms=3000)
    group = MotorGroup([(bus, m)])
    seen: list[int] = []
    command = HANDLER_COMMANDS[in_handler]
    previous = signal.signal(signal.SIGALRM, lambda *a: seen.append(command(bus, m, group).error))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        state = CALLS[interrupted](bus, m, group)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert (state.error, seen) == (ENABLED, [DISABLED])
