"""Signals that arrive while a velkarin command waits for its reply on vcan0: one whose Python
handler raises (Ctrl-C) ends the wait promptly with that exception and leaves the bus usable;
one whose handler returns leaves the call's result as if no signal had come; a handler may itself
command motors, on the waiting bus or another, without ever deadlocking."""

from __future__ import annotations

import contextlib
import signal
import time
from collections.abc import Callable, Iterator

import pytest

from responder import Out, Responder, Rule
from robust_util import TIMEOUT_TEXT, feedback, signal_once_sent
from velkarin import Damiao, MitSetpoint, SocketCanTransport

pytestmark = pytest.mark.requires_bus

LONG_MS = 30_000  # a wait no test sits out: the signal must end it long before
PROMPT = 5.0  # seconds within which an interrupted call must be back, on a slow guest too
MASTER = 0x11
READ = bytes.fromhex("0100330A00000000")


def reg10(mode: int) -> Out:
    return Out(MASTER, READ[:4] + mode.to_bytes(4, "little"))


class Interrupted(Exception):
    pass


@pytest.fixture(scope="module")
def stand_in() -> Iterator[Responder]:
    responder = Responder("vcan0")
    try:
        yield responder
    finally:
        responder.close()


@pytest.fixture
def motor(stand_in: Responder) -> Responder:
    stand_in.script()
    return stand_in


@contextlib.contextmanager
def handler(signum: int, action: Callable) -> Iterator[None]:
    previous = signal.signal(signum, action)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signum, previous)


def raise_interrupted(signum, frame):
    raise Interrupted(signal.Signals(signum).name)


@contextlib.contextmanager
def from_another_process(signum: int, delay: float) -> Iterator[None]:
    """`signum` from another process, `delay` seconds after motor 1's first command is out."""
    with signal_once_sent(signum, "vcan0", (0x001, 0x7FF), delay):
        yield


@contextlib.contextmanager
def from_a_timer(signum: int, delay: float) -> Iterator[None]:
    """SIGALRM from the kernel's interval timer: on time, whatever the load on other processes."""
    assert signum == signal.SIGALRM
    signal.setitimer(signal.ITIMER_REAL, delay)
    yield


# (signal, how it is sent, its Python handler, the exception the handler raises)
RAISING = {
    "sigint": (signal.SIGINT, from_another_process, signal.default_int_handler, KeyboardInterrupt),
    "timer-keyboard-interrupt": (signal.SIGALRM, from_a_timer, signal.default_int_handler,
                                 KeyboardInterrupt),
    "timer-other-exception": (signal.SIGALRM, from_a_timer, raise_interrupted, Interrupted),
}  # fmt: skip


def assert_bus_usable(bus: SocketCanTransport, motor: Responder) -> None:
    """The bus lock is free and the socket works: a next command gets its own reply."""
    motor.script([Rule(0x005, [Out(0x15, feedback(5, 0x5A, 0xA5))])])
    state = Damiao(5, 0x15, timeout_ms=LONG_MS).enable(bus)
    assert (state.motor_id, state.t_mos, state.t_rotor) == (5, 0x5A, 0xA5)


def exceptions_of(call: Callable[[], object]) -> list[type[BaseException]]:
    """The exceptions `call` ends with: the call's own, then one a pending signal handler
    raises at the next bytecodes (a module may give its error first and the handler's after)."""
    seen: list[type[BaseException]] = []
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the kinds are the result
        seen.append(type(e))
    try:
        for _ in range(10_000):
            pass
    except BaseException as e:  # noqa: BLE001
        seen.append(type(e))
    return seen


# ----------------------------------------------------------------------------------------------
# A handler that raises.

# name: (stand-in rules, the call, seconds from its start to the signal)
CALLS = {
    "enable": ([], lambda d, b: d.enable(b), 0.2),
    "mit_control": ([], lambda d, b: d.mit_control(b, MitSetpoint(q=1.0)), 0.2),
    "ensure_mit_mode-read": ([], lambda d, b: d.ensure_mit_mode(b), 0.2),
    # The first read says POS_VEL at once: the signal comes in the 100 ms pause after the write,
    # and the read-back is never answered. Only a timer is on time for that.
    "ensure_mit_mode-pause": (
        [Rule(0x7FF, [reg10(2)], data=READ, times=1)], lambda d, b: d.ensure_mit_mode(b), 0.05,
    ),
}  # fmt: skip


@pytest.mark.parametrize(
    ("name", "source"),
    [(n, s) for n in CALLS for s in RAISING if not (n.endswith("pause") and s == "sigint")],
)
def test_a_signal_whose_handler_raises_ends_the_wait_promptly(vcan, motor, name, source):
    rules, call, delay = CALLS[name]
    signum, send, action, expected = RAISING[source]
    motor.script(rules)
    bus = SocketCanTransport(vcan)
    d = Damiao(1, MASTER, timeout_ms=LONG_MS)
    start = time.monotonic()
    with handler(signum, action), send(signum, delay):
        seen = exceptions_of(lambda: call(d, bus))
    elapsed = time.monotonic() - start
    assert seen in ([expected], [RuntimeError, expected])
    assert elapsed < PROMPT, f"the call took {elapsed:.2f} s to give way to the signal"
    assert_bus_usable(bus, motor)


# ----------------------------------------------------------------------------------------------
# A handler that returns: the wait goes on for the time left and the call's result stands.

REPLY_AFTER = 1.0  # the answer comes this long after the command: well after the signal


def answered_later(motor: Responder) -> Damiao:
    motor.script([
        Rule(0x001, [Out(MASTER, feedback(1, 0x42, 0x24))], delay=REPLY_AFTER),
        Rule(0x7FF, [reg10(1)], data=READ, delay=REPLY_AFTER),
    ])  # fmt: skip
    return Damiao(1, MASTER, timeout_ms=LONG_MS)


@contextlib.contextmanager
def usr1_once() -> Iterator[list[int]]:
    hits: list[int] = []
    with (handler(signal.SIGUSR1, lambda s, f: hits.append(s)),
          from_another_process(signal.SIGUSR1, 0.1)):
        yield hits


@contextlib.contextmanager
def alarms_every_20ms(stop_after: int = 100) -> Iterator[list[int]]:
    hits: list[int] = []

    def count(signum, frame):
        hits.append(signum)
        if len(hits) >= stop_after:
            signal.setitimer(signal.ITIMER_REAL, 0)

    with handler(signal.SIGALRM, count):
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        yield hits


QUIET_SIGNALS = [pytest.param(usr1_once, id="sigusr1-once"),
                 pytest.param(alarms_every_20ms, id="sigalrm-every-20ms")]  # fmt: skip


@pytest.mark.parametrize("signals", QUIET_SIGNALS)
@pytest.mark.parametrize(
    ("call", "check"),
    [
        pytest.param(lambda d, b: d.enable(b), lambda r: (r.t_mos, r.t_rotor) == (0x42, 0x24),
                     id="enable"),
        pytest.param(lambda d, b: d.ensure_mit_mode(b), lambda r: r is None, id="ensure_mit_mode"),
    ],
)  # fmt: skip
def test_a_signal_whose_handler_returns_leaves_the_result_intact(vcan, motor, signals, call, check):
    bus = SocketCanTransport(vcan)
    d = answered_later(motor)
    start = time.monotonic()
    with signals() as hits:
        result = call(d, bus)
    elapsed = time.monotonic() - start
    assert hits, "no signal came during the wait"
    assert check(result)
    assert REPLY_AFTER * 0.9 <= elapsed < REPLY_AFTER + PROMPT
    assert_bus_usable(bus, motor)


def test_signals_during_a_wait_do_not_stretch_its_time_out(vcan, motor):
    # A wait that began again in full after each signal would never end while they keep coming.
    bus = SocketCanTransport(vcan)
    d = Damiao(1, MASTER, timeout_ms=500)  # nobody answers
    start = time.monotonic()
    with alarms_every_20ms(stop_after=100) as hits:  # 2 s of signals if the wait lasts
        with pytest.raises(RuntimeError) as caught:
            d.enable(bus)
    elapsed = time.monotonic() - start
    assert caught.value.args == (TIMEOUT_TEXT,)
    assert len(hits) >= 5
    assert 0.45 <= elapsed < 1.5  # a wait begun again after each signal would last past 2 s
    assert_bus_usable(bus, motor)



# ----------------------------------------------------------------------------------------------
# A handler that commands a motor (the usual "disable everything on Ctrl-C"): it runs outside the
# bus lock, so its command works on the waiting bus as on another one, and the interrupted call
# then ends as it would have, never later than its own deadline.

DISABLE = bytes.fromhex("FFFFFFFFFFFFFFFD")
OTHER_MASTER = 0x12  # the robot's other motor, id 2, which the handler disables
DISABLED = feedback(2, 0x5A, 0x5B, error=0)  # its answer
WAIT_MS = 1000


def answers_disable(delay: float = 0.0) -> Rule:
    return Rule(0x002, [Out(OTHER_MASTER, DISABLED)], data=DISABLE, delay=delay)


def disable_seen(motor: Responder, can_id: int, quiet: float = 0.05) -> int:
    return sum(f.can_id == can_id and f.data == DISABLE for f in motor.collect(quiet).seen)


# name: (stand-in rules besides the disable's answer, the call, seconds to the signal, what the
# call returns once the handler returned: nobody answers the enable)
WAITS = {
    "enable-unanswered": ([], lambda d, b: d.enable(b), 0.1, RuntimeError),
    "ensure_mit_mode-read": (
        [Rule(0x7FF, [reg10(2)], data=READ, delay=0.5, times=1), Rule(0x7FF, [reg10(1)], data=READ)],
        lambda d, b: d.ensure_mit_mode(b), 0.1, None,
    ),
    "ensure_mit_mode-pause": (
        [Rule(0x7FF, [reg10(2)], data=READ, times=1), Rule(0x7FF, [reg10(1)], data=READ)],
        lambda d, b: d.ensure_mit_mode(b), 0.05, None,
    ),
}  # fmt: skip

SOURCES = {
    "sigint": (signal.SIGINT, from_another_process),
    "timer": (signal.SIGALRM, from_a_timer),
}


def outcome_of(call: Callable[[], object]) -> object:
    try:
        return call()
    except (RuntimeError, Interrupted) as e:
        return type(e)


@pytest.mark.parametrize("then_raise", [False, True], ids=["handler-returns", "handler-raises"])
@pytest.mark.parametrize("same_bus", [True, False], ids=["waiting-bus", "another-bus"])
@pytest.mark.parametrize(
    ("wait", "source"),
    [(w, s) for w in WAITS for s in SOURCES if not (w.endswith("pause") and s == "sigint")],
)
def test_a_handler_may_command_a_motor_during_a_wait(vcan, motor, wait, source, same_bus,
                                                     then_raise):
    rules, call, delay, returned = WAITS[wait]
    signum, send = SOURCES[source]
    motor.script([answers_disable(), *rules])
    bus = SocketCanTransport(vcan)
    handler_bus = bus if same_bus else SocketCanTransport(vcan)
    d = Damiao(1, MASTER, timeout_ms=WAIT_MS)
    other = Damiao(2, OTHER_MASTER, timeout_ms=WAIT_MS)
    disabled: list[int] = []

    def disable_all(signum, frame):
        disabled.append(other.disable(handler_bus).t_mos)
        if then_raise:
            raise Interrupted

    start = time.monotonic()
    with handler(signum, disable_all), send(signum, delay):
        outcome = outcome_of(lambda: call(d, bus))
    elapsed = time.monotonic() - start

    assert disabled == [DISABLED[6]], "the handler's disable did not get its reply"
    assert disable_seen(motor, 0x002) == 1
    if then_raise:
        assert outcome is Interrupted
        assert elapsed < PROMPT
    else:
        assert outcome == returned
        assert elapsed < WAIT_MS / 1000 * 2 + 0.1 + PROMPT
    assert_bus_usable(bus, motor)


# The program a user writes first, with no motor answering at all: the handler's disable waits
# out its own time-out and raises, and that ends the interrupted call too.
@pytest.mark.parametrize(
    ("call", "signum", "send"),
    [
        pytest.param(lambda d, b: d.enable(b), signal.SIGALRM, from_a_timer, id="enable-sigalrm"),
        pytest.param(lambda d, b: d.ensure_mit_mode(b), signal.SIGINT, from_another_process,
                     id="ensure_mit_mode-sigint"),
    ],
)  # fmt: skip
def test_disabling_the_waiting_motor_with_nobody_answering_ends_the_call(vcan, motor, call,
                                                                          signum, send):
    bus = SocketCanTransport(vcan)
    m = Damiao(1, MASTER, timeout_ms=WAIT_MS)
    with handler(signum, lambda *a: m.disable(bus)), send(signum, 0.05):
        start = time.monotonic()
        with pytest.raises(RuntimeError) as caught:
            call(m, bus)
        elapsed = time.monotonic() - start
    assert caught.value.args == (TIMEOUT_TEXT,)
    assert elapsed < 2 * WAIT_MS / 1000 + PROMPT  # its own deadline, then the disable's
    assert disable_seen(motor, 0x001) == 1
    assert_bus_usable(bus, motor)


def test_a_second_signal_inside_the_handlers_own_command_ends_both(vcan, motor):
    # The handler's disable is answered late; a second alarm arrives while it waits, and that
    # nested handler raises: the disable, the first handler and the blocked enable all end.
    motor.script([answers_disable(delay=0.3)])
    bus = SocketCanTransport(vcan)
    d = Damiao(1, MASTER, timeout_ms=LONG_MS)
    other = Damiao(2, OTHER_MASTER, timeout_ms=LONG_MS)
    calls: list[int] = []

    def disable_then_give_up(signum, frame):
        calls.append(signum)
        if len(calls) > 1:
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise Interrupted
        other.disable(bus)

    start = time.monotonic()
    with handler(signal.SIGALRM, disable_then_give_up):
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.1)
        with pytest.raises(Interrupted):
            d.enable(bus)
    elapsed = time.monotonic() - start

    assert len(calls) == 2
    assert elapsed < PROMPT
    assert disable_seen(motor, 0x002, quiet=0.4) == 1
    assert_bus_usable(bus, motor)
