"""velkarin_group against velkarin-sim on vcan0 and vcan1: rounds send the single-motor methods'
frames byte for byte and give each member its own outcome; failures stay per member; wrong
setpoints send nothing; a round lets other threads run, hears Ctrl-C, lets signal handlers command
motors and never deadlocks with single commands; a reply after its round's deadline is never the
next round's; the Ticker keeps absolute period boundaries."""

from __future__ import annotations

import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator

import pytest

import canframes
import sim
from robust_util import TIMEOUT_TEXT, signal_later, signal_once_sent
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport
import velkarin
import velkarin_group
from velkarin_group import GroupError, MotorGroup, Ticker, status_name

PROMPT = 5.0  # seconds within which a signal must end a round of 60 s: a slow guest needs more than 1
ANSWERED_MS = 1000  # time-out of members that answer: waited out only when something is wrong


def test_importing_the_group_module_changes_nothing_of_velkarin() -> None:
    probe = ("import velkarin; before = (dir(velkarin), list(velkarin.__all__));"
             "import velkarin_group; assert before == (dir(velkarin), list(velkarin.__all__));"
             "print(velkarin_group.__all__)")
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == str(["MotorGroup", "GroupError", "Ticker", "MemberStats", "BusHealth",
                                      "TickerStats", "realtime", "status_name", "read_frame", "watched_ids"])


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
@pytest.mark.parametrize("module", [velkarin, velkarin_group], ids=lambda m: m.__name__)
def test_each_module_exports_only_its_init_function(module) -> None:
    listed = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True,
                            text=True, check=True).stdout
    assert [line.split()[-1] for line in listed.splitlines()] == [f"PyInit_{module.__name__}"]


@pytest.fixture
def two_buses(vcan: str, vcan1: str) -> Iterator[tuple[SocketCanTransport, SocketCanTransport]]:
    """Three simulated DM4310 on each bus, ids 1-3, master ids 0x11-0x13 on both."""
    motors = [f"{i}:{0x10 + i:#x}:DM4310" for i in (1, 2, 3)]
    exe = sim.find_sim()
    assert exe is not None
    sims = [sim.Sim(exe, iface, motors) for iface in (vcan, vcan1)]
    try:
        yield SocketCanTransport(vcan), SocketCanTransport(vcan1)
    finally:
        assert [s.stop() for s in sims] == [0, 0]


@pytest.fixture
def peers(vcan: str, vcan1: str) -> Iterator[list]:
    """Raw sockets on vcan0 and vcan1 that record every frame."""
    socks = [canframes.open_raw_socket(iface) for iface in (vcan, vcan1)]
    try:
        yield socks
    finally:
        for sock in socks:
            sock.close()


def members_of(buses, ids=(1, 2, 3), limits: MitLimits | None = None, timeout_ms: int = ANSWERED_MS):
    return [(bus, Damiao(i, 0x10 + i, limits, timeout_ms)) for bus in buses for i in ids]


def sent_frames(peer) -> list[tuple[int, bytes]]:
    time.sleep(0.05)
    return sorted((f.can_id, f.data) for f in canframes.drain(peer) if f.can_id < 0x10 or f.can_id > 0x1F)


@pytest.mark.requires_bus
def test_construction_checks_its_members(two_buses) -> None:
    a, b = two_buses
    group = MotorGroup(members_of([a, b]), fd=True)  # master ids repeat across buses: fine
    assert (len(group), group.fd, group.members[4][0] is b) == (6, True, True)
    with pytest.raises(TypeError, match=r"members\[1\] must be a \(SocketCanTransport, Damiao\)"):
        MotorGroup([(a, Damiao(1, 0x11)), (Damiao(2, 0x12), a)])
    with pytest.raises(ValueError, match=r"members 0 and 2 \(motors 0x1 and 0x9\) are on one bus"):
        MotorGroup([(a, Damiao(1, 0x11)), (b, Damiao(9, 0x11)), (a, Damiao(9, 0x811))])
    with pytest.raises(ValueError, match="at least one member"):
        MotorGroup([])


@pytest.mark.requires_bus
@pytest.mark.parametrize(
    ("method", "setpoints", "single"),
    [
        ("enable", None, lambda m, bus, sp: m.enable(bus)),
        ("mit_control", MitSetpoint(q=0.3, kp=20, kd=1), lambda m, bus, sp: m.mit_control(bus, sp)),
        ("control", ControlSetpoint.vel(2.5), lambda m, bus, sp: m.control(bus, sp)),
        ("disable", None, lambda m, bus, sp: m.disable(bus)),
    ],
)  # fmt: skip
def test_a_round_sends_the_single_methods_frames_and_returns_each_members_state(
        two_buses, peers, method, setpoints, single) -> None:
    a, b = two_buses
    members = members_of([a, b])
    group = MotorGroup(members)
    args = () if setpoints is None else ([setpoints] * len(members),)
    states = getattr(group, method)(*args)
    by_round = [sent_frames(p) for p in peers]
    for bus, motor in members:
        single(motor, bus, setpoints)
    assert [sent_frames(p) for p in peers] == by_round
    assert [type(s) for s in states] == [MotorState] * 6
    assert [s.motor_id for s in states] == [1, 2, 3] * 2


@pytest.mark.requires_bus
def test_failures_stay_per_member_with_the_single_methods_errors(two_buses, peers) -> None:
    a, b = two_buses
    bad = MitLimits(p_max=-1.0)
    group = MotorGroup([(a, Damiao(1, 0x11, timeout_ms=ANSWERED_MS)), (b, Damiao(9, 0x19, timeout_ms=30)),
                        (b, Damiao(2, 0x12, bad))])
    with pytest.raises(GroupError) as raised:
        group.mit_control([MitSetpoint()] * 3)
    first, silent, refused = raised.value.outcomes
    assert isinstance(first, MotorState) and isinstance(raised.value, RuntimeError)
    with pytest.raises(RuntimeError) as own:
        Damiao(2, 0x12, bad).mit_control(b, MitSetpoint())
    assert (str(silent), str(refused)) == (TIMEOUT_TEXT, str(own.value))
    assert str(raised.value) == (f"2 of 3 motors failed: member 1 (motor 0x9): {TIMEOUT_TEXT}; "
                                 f"member 2 (motor 0x2): {own.value}")
    # Nothing went out for motor 2 (its own call above sent nothing either).
    assert [f.can_id for f in canframes.drain(peers[1]) if f.can_id < 0x10] == [0x009]


@pytest.mark.requires_bus
@pytest.mark.parametrize(
    ("setpoints", "error", "text"),
    [
        ([MitSetpoint()] * 5, ValueError, r"mit_control\(\) needs one setpoint per member: 6, got 5"),
        ([MitSetpoint()] * 4 + [ControlSetpoint.vel(1.0), MitSetpoint()], TypeError,
         r"setpoints\[4\]: 'velkarin.ControlSetpoint' object cannot be converted to 'MitSetpoint'"),
        (7, TypeError, "setpoints must be a sequence"),
    ],
)  # fmt: skip
def test_wrong_setpoints_send_nothing(two_buses, peers, setpoints, error, text) -> None:
    group = MotorGroup(members_of(two_buses))
    with pytest.raises(error, match=text):
        group.mit_control(setpoints)
    assert [sent_frames(p) for p in peers] == [[], []]


@pytest.mark.requires_bus
def test_other_threads_run_while_a_round_waits(two_buses) -> None:
    silent = MotorGroup(members_of(two_buses, ids=(7, 8), timeout_ms=400))
    counted = [0]
    stop = threading.Event()

    def count() -> None:
        while not stop.is_set():
            counted[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = counted[0]
        with pytest.raises(GroupError):
            silent.enable()
        during = counted[0] - before
    finally:
        stop.set()
        counter.join()
    assert during > 1000  # a held interpreter lock would leave the count where it was


@pytest.mark.requires_bus
def test_ctrl_c_ends_a_round_and_a_returning_handler_may_command_the_rounds_motors(two_buses) -> None:
    a, b = two_buses
    silent = MotorGroup(members_of(two_buses, ids=(7,), timeout_ms=60_000))
    start = time.monotonic()
    with signal_later(signal.SIGINT, 0.3), pytest.raises(KeyboardInterrupt):
        silent.enable()
    assert time.monotonic() - start < 0.3 + PROMPT

    answered: list[MotorState] = []
    quick = MotorGroup(members_of(two_buses, ids=(7,), timeout_ms=600))
    previous = signal.signal(signal.SIGINT, lambda *_: answered.extend(
        [Damiao(1, 0x11, timeout_ms=ANSWERED_MS).disable(a), *MotorGroup(members_of([b], ids=(2,))).disable()]))
    try:
        # The signal comes once the round's enable is out, well within its time-out.
        with signal_once_sent(signal.SIGINT, "vcan0", (0x007,), 0.2), pytest.raises(GroupError):
            quick.enable()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert [s.motor_id for s in answered] == [1, 2]


@pytest.mark.requires_bus
def test_rounds_single_commands_and_signal_handlers_never_deadlock(two_buses) -> None:
    # Replies may be taken by the wrong party here (a handler's round takes the replies of the
    # round it interrupted): only progress is checked.
    a, b = two_buses
    group = MotorGroup(members_of([a, b], timeout_ms=50))
    motor = Damiao(1, 0x11)
    done = threading.Event()
    calls = {"worker": 0, "main": 0, "handler": 0}

    def attempt(call, who: str) -> None:
        try:
            call()
        except (GroupError, RuntimeError):
            pass
        calls[who] += 1

    def rounds() -> None:
        while not done.is_set():
            attempt(lambda: group.mit_control([MitSetpoint()] * 6), "worker")

    worker = threading.Thread(target=rounds, daemon=True)
    previous = signal.signal(signal.SIGALRM, lambda *_: attempt(group.disable, "handler"))
    # Alarms further apart than a handler's round can last (its 50 ms time-out): faster ones
    # would keep the main thread in handlers for good, as in any Python program.
    signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
    worker.start()
    try:
        end = time.monotonic() + 2.0
        while time.monotonic() < end:
            attempt(lambda: motor.enable(a), "main")
            attempt(group.enable, "main")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        done.set()
        worker.join(10.0)
    assert not worker.is_alive()
    assert min(calls.values()) > 0, calls


@pytest.mark.requires_bus
def test_a_reply_after_its_rounds_deadline_is_never_the_next_rounds(vcan, start_sim) -> None:
    # Motor 2 answers 300 ms late, after every round's 200 ms deadline, and well within the
    # time-out after it, however slowly the simulator is scheduled.
    slow = start_sim("1:0x11:DM4310", "2:0x12:DM4310")
    slow.command("fault 2 delay 300")
    group = MotorGroup(members_of([SocketCanTransport(vcan)], ids=(1, 2), timeout_ms=200))
    late = []
    for n in range(10):
        with pytest.raises(GroupError) as raised:
            group.enable()
        late.append(str(raised.value.outcomes[1]))
        # The next round starts before the late reply comes, or after it is queued.
        time.sleep(0.02 if n % 2 else 0.15)
    assert late == [TIMEOUT_TEXT] * 10


@pytest.mark.parametrize(
    ("rate", "error"),
    [(0, ValueError), (-5.0, ValueError), (float("nan"), ValueError), (float("inf"), ValueError),
     (1e12, ValueError), ("100", TypeError), (None, TypeError)],
)  # fmt: skip
def test_a_ticker_refuses_rates_it_cannot_keep(rate, error) -> None:
    with pytest.raises(error):
        Ticker(rate)


def test_a_ticker_counts_missed_boundaries_and_never_bursts() -> None:
    ticker = Ticker(2.0)  # 500 ms periods: a loaded machine oversleeps far less than half of one
    ticker.wait()
    time.sleep(1.25)  # two and a half periods late
    start = time.monotonic()
    assert ticker.wait() == 2
    assert ticker.wait() == 0 and time.monotonic() - start > 0.45  # a whole period, not a burst
    assert ticker.overruns == 2


def test_a_raising_signal_handler_ends_a_ticker_wait() -> None:
    ticker = Ticker(0.1)  # ten-second periods
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            ticker.wait()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert time.monotonic() - start < 0.2 + PROMPT


@pytest.mark.parametrize(("code", "name"), [
    (0x0, "disabled"), (0x1, "enabled"), (0x8, "over-voltage"), (0xD, "lost-communication"),
    (0xE, "overload"), (0x2, None), (0xF, None),
])
def test_status_name_names_the_documented_codes_only(code, name):
    assert status_name(code) == name


@pytest.mark.parametrize("code", [-1, 16, 256])
def test_status_name_refuses_what_is_no_status_code(code):
    with pytest.raises(ValueError, match="0 to 15"):
        status_name(code)
