"""velkarin against velkarin-sim on vcan0, through the public API only: status codes, set-zero,
the MIT mode switch, closed loops in every control mode, and each reply fault as a user meets it."""

from __future__ import annotations

import contextlib
import signal
import socket
import time
from collections.abc import Callable, Iterator

import pytest

import canframes
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport

TIMEOUT_TEXT = "transport error: timeout waiting for frame"
ANSWERED_MS = 1000  # time-out of calls the motor answers: waited out only when something is wrong
LOST_MS = 40  # time-out of calls whose reply is lost or late: each one costs this much
PERIOD = 0.002  # 500 Hz control loops
SETTLE = 0.4  # seconds a late reply is given to arrive before the next command
M1 = "1:0x11:DM4310"
BURST = 1000  # commands back to back: more than a socket's default receive buffer holds
SO_RCVBUFFORCE = 33

# Status codes of byte 0's high nibble.
DISABLED, ENABLED = 0x0, 0x1

# A VEL frame sent to a motor in MIT mode is answered but not acted on: a look at the motor
# that changes nothing.
PROBE = ControlSetpoint.vel(0.0)

@pytest.fixture
def bus(vcan: str) -> SocketCanTransport:
    return SocketCanTransport(vcan)


def paced(count: int) -> Iterator[int]:
    """0..count-1, one every PERIOD on the monotonic clock (late steps are not caught up)."""
    due = time.monotonic()
    for i in range(count):
        yield i
        due += PERIOD
        wait = due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        else:
            due = time.monotonic()


def hold(
    motor: Damiao, bus: SocketCanTransport, setpoint: ControlSetpoint, seconds: float
) -> list[MotorState]:
    """Sends `setpoint` at 500 Hz for `seconds` and returns every reply."""
    return [motor.control(bus, setpoint) for _ in paced(int(seconds / PERIOD))]


def pd_to(q: float, kp: float = 20.0, kd: float = 1.0) -> ControlSetpoint:
    return ControlSetpoint.mit(MitSetpoint(q=q, kp=kp, kd=kd))


def timed_out(call: Callable[[], MotorState]) -> None:
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value.args == (TIMEOUT_TEXT,)


# ------------------------------------------------------------------------------------------
# The motor's own behaviour.


@pytest.mark.parametrize(
    "arg, motor_id, master_id, nibble",
    [(M1, 1, 0x11, 1), ("0x13:0x23:DM4340", 0x13, 0x23, 3)],
)
def test_enable_and_disable_set_the_status_nibble(
    start_sim, bus, arg, motor_id, master_id, nibble
):
    start_sim(arg)
    motor = Damiao(motor_id, master_id, timeout_ms=ANSWERED_MS)
    steps = [
        (lambda: motor.control(bus, PROBE), DISABLED),
        (lambda: motor.enable(bus), ENABLED),
        (lambda: motor.control(bus, PROBE), ENABLED),
        (lambda: motor.enable(bus), ENABLED),
        (lambda: motor.disable(bus), DISABLED),
        (lambda: motor.control(bus, PROBE), DISABLED),
    ]
    seen = [(s.motor_id, s.error) for s in (call() for call, _ in steps)]
    assert seen == [(nibble, status) for _, status in steps]


def test_set_zero_makes_the_present_position_zero(start_sim, bus):
    start_sim(M1)
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    motor.enable(bus)
    assert hold(motor, bus, pd_to(1.0), 0.5)[-1].position == pytest.approx(1.0, abs=0.05)
    away = motor.disable(bus).position
    zeroed = motor.set_zero(bus)
    later = motor.control(bus, PROBE)
    assert abs(away) > 0.9
    assert zeroed.position == pytest.approx(0.0, abs=0.01)
    assert later.position == pytest.approx(0.0, abs=0.01)


@pytest.mark.parametrize(
    "mode, requests", [("mit", 1), ("pos_vel", 3), ("vel", 3), ("force_pos", 3)]
)
def test_ensure_mit_mode_switches_the_motor(start_sim, bus, raw_peer, mode, requests):
    start_sim(f"{M1}:{mode}")
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    motor.enable(bus)
    if mode != "mit":
        ignored = hold(motor, bus, pd_to(1.0), 0.3)
        assert max(abs(s.position) for s in ignored) < 0.01
    canframes.drain(raw_peer)

    # Already in MIT: one read of register 10. Otherwise read, write, read back.
    register_frames = []
    for _ in range(2):
        assert motor.ensure_mit_mode(bus) is None
        sent = [f for f in canframes.drain(raw_peer) if f.can_id == 0x7FF]
        register_frames.append(len(sent))
    assert register_frames == [requests, 1]

    assert hold(motor, bus, pd_to(1.0), 0.5)[-1].position == pytest.approx(1.0, abs=0.05)


def firmware_pd(target: float) -> Callable[[MotorState | None], MitSetpoint]:
    return lambda _: MitSetpoint(q=target, kp=20.0, kd=1.0)


def host_pd(target: float) -> Callable[[MotorState | None], MitSetpoint]:
    """Torque only: the loop is closed here, from each reply, at 500 Hz."""

    def law(state: MotorState | None) -> MitSetpoint:
        if state is None:
            return MitSetpoint()
        return MitSetpoint(tau=2.0 * (target - state.position) - 0.15 * state.velocity)

    return law


@pytest.mark.parametrize(
    "law, target", [(firmware_pd, 1.0), (host_pd, -0.8)]
)
def test_mit_loop_converges_on_the_target(start_sim, bus, law, target):
    start_sim(M1)
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    motor.enable(bus)
    command = law(target)
    state = None
    for _ in paced(750):
        state = motor.mit_control(bus, command(state))
    assert state is not None
    assert state.error == ENABLED
    assert state.position == pytest.approx(target, abs=0.05)
    assert abs(state.velocity) < 0.3


@pytest.mark.parametrize(
    "model, mode, setpoint, position, velocity, speed_cap",
    [
        ("DM4310", "vel", ControlSetpoint.vel(5.0), None, 5.0, None),
        ("DM4310", "vel", ControlSetpoint.vel(-3.0), None, -3.0, None),
        # Its feedback packs velocity over +-45, not the default +-30: only the model's own
        # limits read it right.
        ("DM8009", "vel", ControlSetpoint.vel(5.0), None, 5.0, None),
        ("DM4310", "pos_vel", ControlSetpoint.pos_vel(1.0, 2.0), 1.0, 0.0, 2.0),
        ("DM4310", "force_pos", ControlSetpoint.force_pos(-1.0, 2.5, 0.5), -1.0, 0.0, 2.5),
    ],
)
def test_mode_setpoint_converges(
    start_sim, bus, model, mode, setpoint, position, velocity, speed_cap
):
    start_sim(f"1:0x11:{model}:{mode}")
    motor = Damiao(1, 0x11, getattr(MitLimits, model.lower())(), timeout_ms=ANSWERED_MS)
    motor.enable(bus)
    states = hold(motor, bus, setpoint, 1.5)
    final = states[-1]
    assert final.error == ENABLED
    assert final.velocity == pytest.approx(velocity, abs=0.3)
    if position is not None:
        assert final.position == pytest.approx(position, abs=0.05)
    if speed_cap is not None:
        assert max(abs(s.velocity) for s in states) < speed_cap * 1.15 + 0.1


@pytest.mark.parametrize(
    "mode, setpoint",
    [
        ("mit", ControlSetpoint.vel(5.0)),
        ("mit", ControlSetpoint.pos_vel(1.0, 2.0)),
        ("mit", ControlSetpoint.force_pos(1.0, 2.0, 1.0)),
        ("vel", pd_to(1.0)),
        ("vel", ControlSetpoint.pos_vel(1.0, 2.0)),
        ("pos_vel", ControlSetpoint.vel(5.0)),
        ("force_pos", ControlSetpoint.mit(MitSetpoint(tau=2.0))),
    ],
)
def test_frame_of_another_mode_is_answered_but_not_acted_on(start_sim, bus, mode, setpoint):
    start_sim(f"{M1}:{mode}")
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    motor.enable(bus)
    states = hold(motor, bus, setpoint, 0.3)
    assert {s.error for s in states} == {ENABLED}
    assert max(abs(s.position) for s in states) < 0.01
    assert max(abs(s.velocity) for s in states) < 0.05


def test_two_motors_share_one_bus(start_sim, bus):
    s = start_sim(M1, "2:0x12:DM4340")
    one = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    two = Damiao(2, 0x12, MitLimits.dm4340(), timeout_ms=ANSWERED_MS)
    assert one.enable(bus).motor_id == 1
    assert (two.control(bus, PROBE).motor_id, two.control(bus, PROBE).error) == (2, DISABLED)
    two.enable(bus)
    last: tuple[MotorState, ...] = ()
    for _ in paced(500):
        last = one.control(bus, pd_to(0.5)), two.control(bus, pd_to(-0.5))
    assert [(x.motor_id, round(x.position, 1)) for x in last] == [(1, 0.5), (2, -0.5)]

    # One motor's late replies neither hold up nor reach the other's commands.
    s.command("fault 1 delay 300")
    quick = Damiao(1, 0x11, timeout_ms=LOST_MS)
    timed_out(lambda: quick.control(bus, PROBE))
    assert two.disable(bus).motor_id == 2
    assert two.control(bus, PROBE).error == DISABLED


# ------------------------------------------------------------------------------------------
# Reply faults, as the user sees them.


def test_dropped_replies_fail_single_commands_only(start_sim, bus):
    s = start_sim(M1, options=("--drop", "0.5"))
    motor = Damiao(1, 0x11, timeout_ms=LOST_MS)
    outcomes = []
    for i in range(40):
        call, status = (motor.enable, ENABLED) if i % 2 == 0 else (motor.disable, DISABLED)
        try:
            outcomes.append(call(bus).error == status)
        except RuntimeError as e:
            assert e.args == (TIMEOUT_TEXT,)
            outcomes.append(None)
    # Some lost, some answered, and every answer belongs to its own command. (A lost reply
    # costs the next command too when it comes within the time-out after the loss: its reply
    # cannot be told from the lost one come late.)
    assert outcomes.count(None) >= 5 and outcomes.count(True) >= 1
    assert set(outcomes) == {None, True}

    # A lost reply does not mean a lost command: the motor acted on it.
    s.command("fault 1 drop 1")
    timed_out(lambda: motor.enable(bus))
    s.command("fault 1 drop 0")
    time.sleep(2 * LOST_MS / 1000)  # past the lost reply's window
    assert [motor.control(bus, PROBE).error for _ in range(10)] == [ENABLED] * 10


def test_a_late_reply_is_never_the_next_commands(start_sim, bus):
    start_sim(M1, options=("--delay-ms", "150"))
    motor = Damiao(1, 0x11, timeout_ms=LOST_MS)
    timed_out(lambda: motor.enable(bus))
    time.sleep(SETTLE)
    # The enable's reply came in before the disable went out: it is dropped, and the disable,
    # answered as late, times out too.
    timed_out(lambda: motor.disable(bus))
    time.sleep(SETTLE)
    # A time-out beyond the delay sees every reply on time, on the same bus object.
    patient = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    assert [patient.disable(bus).error, patient.enable(bus).error] == [DISABLED, ENABLED]


def replies_seen(peer, wanted: int) -> int:
    """Motor 1's replies read off `peer`, up to `wanted`, or fewer once a read waited
    PEER_TIMEOUT and none came."""
    replies = 0
    with contextlib.suppress(TimeoutError):
        while replies < wanted:
            replies += canframes.recv_frame(peer).can_id == 0x11
    return replies


def test_a_burst_of_commands_is_answered_in_full(start_sim, raw_peer):
    s = start_sim(M1)
    raw_peer.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)  # room for every reply
    s.proc.send_signal(signal.SIGSTOP)  # the whole burst waits in the simulator's socket
    for _ in range(BURST):
        raw_peer.send(canframes.pack_classic(0x001, bytes.fromhex("FFFFFFFFFFFFFFFC")))
    s.proc.send_signal(signal.SIGCONT)
    assert replies_seen(raw_peer, BURST) == BURST


def test_duplicated_reply_is_taken_by_the_next_command(start_sim, bus, vcan, raw_peer):
    start_sim(M1, options=("--duplicate",))
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    # Replies on the bus: E E D D E E D D; command k takes the k-th. The states are whole
    # and valid, but from the second command on they lag behind, a little more each time.
    calls = [motor.enable, motor.disable, motor.enable, motor.disable]
    states = [call(bus) for call in calls]
    assert [(s.motor_id, s.error) for s in states] == [(1, 1), (1, 1), (1, 0), (1, 0)]
    assert all(abs(s.position) < 0.01 and abs(s.velocity) < 0.05 for s in states)
    # The last two commands' replies may still be on their way: a bus opened before they
    # are all out would take one of them.
    assert replies_seen(raw_peer, 2 * len(calls)) == 2 * len(calls)
    fresh = SocketCanTransport(vcan)
    assert motor.enable(fresh).error == ENABLED


@pytest.mark.parametrize("length", [0, 4, 7])
def test_short_reply_cannot_be_decoded(start_sim, bus, length):
    s = start_sim(M1, options=("--short", str(length)))
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    with pytest.raises(RuntimeError) as info:
        motor.enable(bus)
    assert info.value.args == (f"reply too short to decode: {length} bytes, need 8",)
    s.command("clear 1")
    assert motor.control(bus, PROBE).error == ENABLED


@pytest.mark.parametrize(
    "how, name, code",
    [
        ("flag", "mosfet-over-temperature", 0xB),
        ("flag", "rotor-over-temperature", 0xC),
        ("flag", "lost-communication", 0xD),
        ("stdin", "over-voltage", 0x8),
        ("stdin", "under-voltage", 0x9),
        ("stdin", "over-current", 0xA),
        ("stdin", "mosfet-over-temperature", 0xB),
        ("stdin", "rotor-over-temperature", 0xC),
        ("stdin", "lost-communication", 0xD),
        ("stdin", "overload", 0xE),
        ("watchdog", "lost-communication", 0xD),
    ],
)
def test_fault_status_latches_until_clear_error(start_sim, bus, how, name, code):
    options = {"flag": ("--fault", name), "watchdog": ("--timeout-ms", "100")}.get(how, ())
    s = start_sim(M1, options=options)
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    first = motor.enable(bus)
    if how == "stdin":
        assert first.error == ENABLED
        s.command(f"fault 1 status {name}")
    elif how == "watchdog":
        assert first.error == ENABLED
        time.sleep(0.5)  # five times the watchdog's 100 ms without a frame
    faulted = [motor.control(bus, PROBE), motor.enable(bus), motor.control(bus, PROBE)]
    assert [f.error for f in faulted] == [code] * 3  # enable is refused while latched

    cleared = motor.clear_error(bus)
    assert cleared.error == DISABLED  # the fault disabled the motor
    assert motor.enable(bus).error == ENABLED
    # An over-temperature shows in its temperature byte until it is cleared.
    if code == 0xB:
        assert faulted[0].t_mos > cleared.t_mos
    if code == 0xC:
        assert faulted[0].t_rotor > cleared.t_rotor


@pytest.mark.parametrize("how", ["flag", "stdin"])
def test_silent_motor_times_out_until_it_is_back(start_sim, bus, how):
    s = start_sim(M1, options=("--silent",) if how == "flag" else ())
    motor = Damiao(1, 0x11, timeout_ms=LOST_MS)
    if how == "stdin":
        assert motor.control(bus, PROBE).error == DISABLED
        s.command("fault 1 silent on")
    timed_out(lambda: motor.enable(bus))
    timed_out(lambda: motor.control(bus, PROBE))
    s.command("fault 1 silent off")
    time.sleep(2 * LOST_MS / 1000)  # past the last unanswered command's window
    # Nothing came late, and the enable it did not hear was not acted on.
    assert motor.control(bus, PROBE).error == DISABLED
    assert motor.enable(bus).error == ENABLED
