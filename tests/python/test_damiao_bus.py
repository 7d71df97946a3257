"""End-to-end tests of velkarin.Damiao on vcan0 against the motor stand-in process: the exact
frames of every command, the decoded feedback, reply matching, time-outs, the MIT mode switch,
and that every failure leaves the bus usable."""

from __future__ import annotations

import struct
import time

import pytest

import velkarin
from responder import Out, Record, Responder, Rule
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint

pytestmark = pytest.mark.requires_bus

MASTER = 0x11
TIMEOUT_TEXT = "transport error: timeout waiting for frame"
NAN = float("nan")
# Time-out for calls the stand-in answers: waited out only when something is wrong, and long
# enough that a busy host never makes a due reply late.
ANSWERED_MS = 1000


def f32(x: float) -> float:
    """x rounded to the nearest single-precision float, as the motor state carries it."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def h(text: str) -> bytes:
    return bytes.fromhex(text.replace(" ", ""))


# The feedback example: motor 1, error 0, position/velocity/torque just below zero, 30 and 40 °C.
FEEDBACK = h("01 7F FF 7F F7 FF 1E 28")
FEEDBACK_STATE = (1, 0, f32(-0.00019073486), f32(-0.007326126), f32(-0.00244236), 30, 40)


def fields(state: velkarin.MotorState) -> tuple:
    return (
        state.motor_id,
        state.error,
        state.position,
        state.velocity,
        state.torque,
        state.t_mos,
        state.t_rotor,
    )


def sent(record: Record) -> list[tuple[int, bytes]]:
    return [(s.can_id, s.data) for s in record.seen]


@pytest.fixture(scope="module")
def responder():
    stand_in = Responder("vcan0")
    try:
        yield stand_in
    finally:
        stand_in.close()


@pytest.fixture
def motor(responder):
    """The stand-in with an empty script; each test gives it its own."""
    responder.script()
    return responder


@pytest.fixture
def bus(motor):
    # Made after the stand-in's reset, so nothing of an earlier test is queued on it.
    return velkarin.SocketCanTransport("vcan0")


def assert_bus_usable(bus, motor, *, reply_delay: float = 0.0) -> None:
    """After a failure: the next command on the same bus gets its own reply.

    After a flood the bus's receive queue is full; `reply_delay` lets the command read through it
    first, because the kernel drops a reply that finds the queue full."""
    # Another master id than the failed command's, whose late reply may still be owed.
    motor.script([Rule(0x005, [Out(0x15, h("05 80 00 80 08 00 19 1A"))], delay=reply_delay)])
    state = Damiao(5, 0x15, timeout_ms=ANSWERED_MS).enable(bus)
    assert (state.motor_id, state.t_mos, state.t_rotor) == (5, 0x19, 0x1A)
    assert sent(motor.collect()) == [(0x005, h("FF FF FF FF FF FF FF FC"))]


# ----------------------------------------------------------------------------------------------
# Every command's frame, and the state decoded from its reply.

MIT_VECTORS = [
    pytest.param(MitSetpoint(), "7F FF 7F F0 00 00 07 FF", id="zero"),
    pytest.param(MitSetpoint(1.0, 2.0, 50.0, 1.0, 0.5), "8A 3C 88 81 99 33 38 65", id="mixed"),
    pytest.param(MitSetpoint(12.5, 30.0, 500.0, 5.0, 10.0), "FF FF FF FF FF FF FF FF", id="top"),
    pytest.param(MitSetpoint(-12.5, -30.0, 0.0, 0.0, -10.0), "00 00 00 00 00 00 00 00",
                 id="bottom"),
    pytest.param(MitSetpoint(100, -100, -5, 50, NAN), "FF FF 00 00 00 FF F0 00", id="clamped-nan"),
]

CPS = ControlSetpoint


def row(name, motor_id, call, can_id, data, limits=None):
    return pytest.param(motor_id, limits, call, can_id, data, id=name)


COMMANDS = [
    # name, motor id, call, identifier sent, data sent
    row("enable", 1, lambda d, b: d.enable(b), 0x001, "FF FF FF FF FF FF FF FC"),
    row("disable", 1, lambda d, b: d.disable(b), 0x001, "FF FF FF FF FF FF FF FD"),
    row("set_zero", 1, lambda d, b: d.set_zero(b), 0x001, "FF FF FF FF FF FF FF FE"),
    row("clear_error", 1, lambda d, b: d.clear_error(b), 0x001, "FF FF FF FF FF FF FF FB"),
    *[
        row(f"mit_control-{p.id}", 1, lambda d, b, sp=p.values[0]: d.mit_control(b, sp),
            0x001, p.values[1])
        for p in MIT_VECTORS
    ],
    *[
        row(f"control-mit-{p.id}", 1, lambda d, b, sp=p.values[0]: d.control(b, CPS.mit(sp)),
            0x001, p.values[1])
        for p in MIT_VECTORS
    ],
    # dm8009: torque over ±54, so -10 is count 1668 (0x684) instead of the bottom of ±10.
    row("mit_control-dm8009-limits", 1, lambda d, b: d.mit_control(b, MitSetpoint(tau=-10.0)),
        0x001, "7F FF 7F F0 00 00 06 84", MitLimits.dm8009()),
    row("mit_control-default-limits", 1, lambda d, b: d.mit_control(b, MitSetpoint(tau=-10.0)),
        0x001, "7F FF 7F F0 00 00 00 00"),
    # Floats little-endian: 1.5f is 00 00 C0 3F, -2.0f 00 00 00 C0, 3.0f 00 00 40 40.
    row("pos_vel", 1, lambda d, b: d.control(b, CPS.pos_vel(1.5, -2.0)),
        0x101, "00 00 C0 3F  00 00 00 C0"),
    row("vel", 2, lambda d, b: d.control(b, CPS.vel(3.0)),
        0x202, "00 00 40 40  00 00 00 00"),
    # position, speed count, torque count: 250 and 5000 here
    row("force_pos", 3, lambda d, b: d.control(b, CPS.force_pos(1.5, 2.5, 0.5)),
        0x303, "00 00 C0 3F  FA 00  88 13"),
    row("force_pos-counts-capped", 3, lambda d, b: d.control(b, CPS.force_pos(0.0, 150.0, 2.0)),
        0x303, "00 00 00 00  10 27  10 27"),  # 10000 and 10000
    row("force_pos-counts-truncated", 3,
        lambda d, b: d.control(b, CPS.force_pos(0.0, -3.0, 0.00015)),
        0x303, "00 00 00 00  00 00  01 00"),  # 0 and 1
    row("force_pos-counts-nan", 3, lambda d, b: d.control(b, CPS.force_pos(0.0, NAN, NAN)),
        0x303, "00 00 00 00  00 00  00 00"),
    # Identifiers are the low 11 bits of the id (plus the mode's offset).
    row("enable-0x801-masked", 0x801, lambda d, b: d.enable(b),
        0x001, "FF FF FF FF FF FF FF FC"),
    row("pos_vel-0x7ff-masked", 0x7FF, lambda d, b: d.control(b, CPS.pos_vel(1.5, -2.0)),
        0x0FF, "00 00 C0 3F  00 00 00 C0"),
    row("vel-0x7ff-masked", 0x7FF, lambda d, b: d.control(b, CPS.vel(3.0)),
        0x1FF, "00 00 40 40  00 00 00 00"),
    row("force_pos-0x7ff-masked", 0x7FF, lambda d, b: d.control(b, CPS.force_pos(1.5, 2.5, 0.5)),
        0x2FF, "00 00 C0 3F  FA 00  88 13"),
]


@pytest.mark.parametrize("motor_id, limits, call, can_id, data", COMMANDS)
def test_command_sends_its_frame_and_returns_the_decoded_reply(
    bus, motor, motor_id, limits, call, can_id, data
):
    # The reply's temperature bytes are particular to this command's identifier and data.
    t_mos, t_rotor = can_id & 0xFF, sum(h(data)) & 0xFF
    reply = h("01 7F FF 7F F7 FF") + bytes([t_mos, t_rotor])
    motor.script([Rule(can_id, [Out(MASTER, reply)])])
    state = call(Damiao(motor_id, MASTER, limits, ANSWERED_MS), bus)
    record = motor.collect()
    assert sent(record) == [(can_id, h(data))]
    assert not any(s.fd or s.extended or s.remote for s in record.seen)
    assert isinstance(state, velkarin.MotorState)
    assert fields(state)[5:] == (t_mos, t_rotor)
    assert fields(state)[:2] == (1, 0)


def test_master_id_is_masked_to_eleven_bits_for_the_reply(bus, motor):
    motor.script([Rule(0x001, [Out(0x011, FEEDBACK)])])
    assert fields(Damiao(1, 0x811, timeout_ms=ANSWERED_MS).enable(bus)) == FEEDBACK_STATE


DECODED = [
    pytest.param(FEEDBACK, None, FEEDBACK_STATE, id="feedback-example"),
    pytest.param(h("1A 00 00 00 00 00 00 FF"), None, (10, 1, -12.5, -30.0, -10.0, 0, 255),
                 id="id-10-error-1-bottom"),
    # Raw 2048 sits one count above the midpoint: the example's magnitudes, positive.
    pytest.param(h("05 FF FF 80 08 00 00 00"), None,
                 (5, 0, 12.5, f32(0.007326126), f32(0.00244236), 0, 0),
                 id="another-motor-id-top-position"),
    pytest.param(FEEDBACK, MitLimits.dm8009(),
                 (1, 0, f32(-0.00019073486), f32(-0.010990143), f32(-0.013187408), 30, 40),
                 id="feedback-example-dm8009"),
    # dm8009: velocity over ±45, torque over ±54; raw 0 is exactly the bottom of each range.
    pytest.param(h("F3 00 00 00 00 00 7F 80"), MitLimits.dm8009(),
                 (3, 15, -12.5, -45.0, -54.0, 127, 128), id="dm8009-bottom"),
    pytest.param(h("F3 00 00 00 00 00 7F 80"), None, (3, 15, -12.5, -30.0, -10.0, 127, 128),
                 id="default-bottom"),
]


@pytest.mark.parametrize("payload, limits, expected", DECODED)
def test_reply_decodes_with_the_motors_limits(bus, motor, payload, limits, expected):
    motor.script([Rule(0x001, [Out(MASTER, payload)])])
    assert fields(Damiao(1, MASTER, limits, ANSWERED_MS).disable(bus)) == expected


def test_state_repr_of_the_example_reply(bus, motor):
    motor.script([Rule(0x001, [Out(MASTER, h("11 7F FF 7F F7 FF 1E 1C"))])])
    state = Damiao(1, MASTER, timeout_ms=ANSWERED_MS).enable(bus)
    assert repr(state) == (
        "MotorState(motor_id=1, error=1, position=-0.0002, velocity=-0.0073, torque=-0.0024, "
        "t_mos=30, t_rotor=28)"
    )


# ----------------------------------------------------------------------------------------------
# Which frame is the reply.

OTHER = h("0F 00 00 00 00 00 EE EE")  # would decode to motor 15: must never be the result

REPLIES = [
    pytest.param([Out(0x012, OTHER), Out(MASTER, FEEDBACK)], FEEDBACK_STATE, id="other-id-first"),
    pytest.param([Out(0x111, OTHER), Out(0x7FF, OTHER), Out(MASTER, FEEDBACK)], FEEDBACK_STATE,
                 id="ids-sharing-low-bits-first"),
    pytest.param([Out(MASTER, OTHER, extended=True), Out(MASTER, FEEDBACK)], FEEDBACK_STATE,
                 id="extended-master-value-first"),
    pytest.param([Out(MASTER, OTHER, fd=True, extended=True), Out(MASTER, FEEDBACK)],
                 FEEDBACK_STATE, id="extended-fd-master-value-first"),
    pytest.param([Out(0x012, remote=True, length=8), Out(MASTER, FEEDBACK)],
                 FEEDBACK_STATE, id="remote-on-other-id-first"),
    pytest.param([Out(MASTER, FEEDBACK), Out(MASTER, OTHER)], FEEDBACK_STATE,
                 id="first-of-two-on-master"),
    pytest.param([Out(MASTER, FEEDBACK, fd=True)], FEEDBACK_STATE, id="fd-8-bytes"),
    pytest.param([Out(MASTER, FEEDBACK + bytes(range(4)), fd=True, brs=True)], FEEDBACK_STATE,
                 id="fd-12-bytes-brs-first-8-decoded"),
    pytest.param([Out(MASTER, FEEDBACK + bytes(56), fd=True)], FEEDBACK_STATE, id="fd-64-bytes"),
    # A remote frame is taken like data: its 8 bytes are the zeros the kernel carries.
    pytest.param([Out(MASTER, remote=True, length=8)], (0, 0, -12.5, -30.0, -10.0, 0, 0),
                 id="remote-on-master"),
]


@pytest.mark.parametrize("frames, expected", REPLIES)
def test_reply_is_the_first_standard_frame_on_the_master_id(bus, motor, frames, expected):
    motor.script([Rule(0x001, frames)])
    assert fields(Damiao(1, MASTER, timeout_ms=ANSWERED_MS).enable(bus)) == expected
    assert len(motor.collect().seen) == 1


def test_a_reply_naming_another_motor_is_still_returned(bus, motor):
    motor.script([Rule(0x004, [Out(MASTER, h("0C 7F FF 7F F7 FF 1E 28"))])])
    state = Damiao(4, MASTER, timeout_ms=ANSWERED_MS).clear_error(bus)
    assert (state.motor_id, state.error) == (12, 0)


# ----------------------------------------------------------------------------------------------
# Time-outs.

FLOOD_OTHER_ID = Out(0x123, h("01 02 03 04 05 06 07 08"))
FLOOD_EXTENDED_MASTER = Out(MASTER, FEEDBACK, extended=True)
FLOOD_FD = Out(0x012, FEEDBACK + bytes(56), fd=True)

TIMEOUTS = [
    # (timeout_ms, call, frame the stand-in floods with or None)
    pytest.param(50, lambda d, b: d.enable(b), None, id="enable-silent"),
    pytest.param(200, lambda d, b: d.set_zero(b), None, id="set_zero-silent-200ms"),
    pytest.param(100, lambda d, b: d.mit_control(b, MitSetpoint()), FLOOD_OTHER_ID,
                 id="mit_control-flood-other-id"),
    pytest.param(100, lambda d, b: d.control(b, CPS.vel(1.0)), FLOOD_EXTENDED_MASTER,
                 id="vel-flood-extended-master-value"),
    pytest.param(100, lambda d, b: d.control(b, CPS.pos_vel(1.0, 1.0)), FLOOD_FD,
                 id="pos_vel-flood-fd"),
    pytest.param(100, lambda d, b: d.ensure_mit_mode(b), FLOOD_OTHER_ID,
                 id="ensure_mit_mode-flood-other-id"),
]


@pytest.mark.parametrize("timeout_ms, call, flood", TIMEOUTS)
def test_no_reply_times_out_after_the_timeout(bus, motor, timeout_ms, call, flood):
    d = Damiao(1, MASTER, timeout_ms=timeout_ms)
    timeout = timeout_ms / 1000
    if flood is not None:
        # Flooding well past the bound: a wait that restarted on every frame would outlast it.
        motor.flood(timeout + 1.0, flood)
    start = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        call(d, bus)
    elapsed = time.monotonic() - start
    assert caught.value.args == (TIMEOUT_TEXT,)
    assert 0.9 * timeout <= elapsed < timeout + 0.5
    record = motor.collect()
    assert len(record.seen) == 1  # one command frame, nothing sent again
    if flood is not None:
        # The wait really was under load: far more frames than fit in one time-out by accident.
        assert record.flood_sent >= 200
    assert_bus_usable(bus, motor, reply_delay=0.3 if flood else 0.0)


def test_zero_timeout_still_sends_the_frame(bus, motor):
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT_TEXT}$"):
        Damiao(1, MASTER, timeout_ms=0).enable(bus)
    assert sent(motor.collect()) == [(0x001, h("FF FF FF FF FF FF FF FC"))]
    assert_bus_usable(bus, motor)


def test_a_late_reply_is_never_the_next_commands(bus, motor):
    late = h("01 7F FF 7F F7 FF A1 A1")
    own = h("01 7F FF 7F F7 FF B2 B2")
    motor.script([
        Rule(0x001, [Out(MASTER, late)], data=h("FF FF FF FF FF FF FF FC"), delay=0.15),
        Rule(0x001, [Out(MASTER, own)], data=h("FF FF FF FF FF FF FF FD")),
    ])
    d = Damiao(1, MASTER, timeout_ms=30)
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT_TEXT}$"):
        d.enable(bus)
    motor.collect()  # returns once the late reply has gone out
    # The late reply waits in the socket's queue, queued before the next command went out: that
    # command and the one after get their own replies.
    answered = Damiao(1, MASTER, timeout_ms=ANSWERED_MS)
    assert answered.disable(bus).t_mos == 0xB2
    assert answered.disable(bus).t_mos == 0xB2


# ----------------------------------------------------------------------------------------------
# ensure_mit_mode: read register 10, write 1 if it differs, pause, read back.

READ = h("01 00 33 0A 00 00 00 00")
WRITE = h("01 00 55 0A 01 00 00 00")


def reg10(value: int, can_id: int = MASTER) -> Out:
    return Out(can_id, h("01 00 33 0A") + value.to_bytes(4, "little"))


MODE_TABLE = [
    # (rules, error text or None, frames sent)
    pytest.param([Rule(0x7FF, [reg10(1)], data=READ)], None, [READ], id="already-mit"),
    pytest.param(
        [Rule(0x7FF, [reg10(2)], data=READ, times=1), Rule(0x7FF, [reg10(1)], data=READ)],
        None, [READ, WRITE, READ], id="pos_vel-then-switched",
    ),
    pytest.param(
        [
            Rule(0x7FF, [reg10(4)], data=READ, times=1),
            Rule(0x7FF, [Out(MASTER, WRITE), Out(MASTER, FEEDBACK)], data=WRITE),  # answers
            Rule(0x7FF, [reg10(1)], data=READ),
        ],
        None, [READ, WRITE, READ], id="write-answered-and-skipped",
    ),
    pytest.param(
        [Rule(0x7FF, [reg10(2)], data=READ)],
        "control mode verification failed: wrote 1, motor reports 2", [READ, WRITE, READ],
        id="motor-keeps-2",
    ),
    pytest.param(
        [Rule(0x7FF, [reg10(2)], data=READ, times=1), Rule(0x7FF, [reg10(257)], data=READ)],
        "control mode verification failed: wrote 1, motor reports 1", [READ, WRITE, READ],
        id="reads-back-257",
    ),
    pytest.param([], TIMEOUT_TEXT, [READ], id="no-answer-to-read"),
    pytest.param(
        [Rule(0x7FF, [reg10(2)], data=READ, times=1)], TIMEOUT_TEXT, [READ, WRITE, READ],
        id="no-answer-to-read-back",
    ),
]


@pytest.mark.parametrize("rules, error, frames", MODE_TABLE)
def test_ensure_mit_mode(bus, motor, rules, error, frames):
    motor.script(rules)
    d = Damiao(1, MASTER, timeout_ms=500)
    if error is None:
        assert d.ensure_mit_mode(bus) is None
    else:
        with pytest.raises(RuntimeError) as caught:
            d.ensure_mit_mode(bus)
        assert caught.value.args == (error,)
    record = motor.collect()
    assert sent(record) == [(0x7FF, f) for f in frames]
    if len(frames) == 3:
        gap = record.seen[2].t - record.seen[1].t
        # Kernel arrival stamps: the read-back went out a whole pause after the write, however
        # late anything woke; the upper bound only shows the pause did not run on.
        assert 0.099 <= gap < 0.1 + 0.5
    if error is not None:
        assert_bus_usable(bus, motor)


def test_register_requests_carry_all_sixteen_bits_of_the_motor_id(bus, motor):
    read = h("01 08 33 0A 00 00 00 00")
    motor.script([
        Rule(0x7FF, [reg10(3)], data=read, times=1),
        Rule(0x7FF, [reg10(1)], data=read),
    ])
    assert Damiao(0x801, MASTER, timeout_ms=ANSWERED_MS).ensure_mit_mode(bus) is None
    write = h("01 08 55 0A 01 00 00 00")
    assert sent(motor.collect()) == [(0x7FF, read), (0x7FF, write), (0x7FF, read)]


LOOK_ALIKES = [
    Out(MASTER, h("01 00 33 0A 02 00 00")),  # 7 bytes
    Out(MASTER, h("01 00 33 0A 02 00 00 00 00 00 00 00"), fd=True),  # 12 bytes
    Out(MASTER, h("01 00 33 0B 02 00 00 00")),  # another register
    Out(MASTER, h("01 00 55 0A 02 00 00 00")),  # a write, not a read reply
    Out(MASTER, FEEDBACK),  # a feedback frame
]


@pytest.mark.parametrize(
    "answer",
    [
        pytest.param(reg10(1), id="master-id"),
        pytest.param(reg10(1, 0x123), id="unrelated-id"),
        pytest.param(reg10(1, 0x7FF), id="register-request-id"),
        pytest.param(Out(0x1ABCDE, reg10(1).data, extended=True), id="extended-id"),
        pytest.param(Out(0x042, reg10(1).data, fd=True), id="fd-8-bytes"),
    ],
)
def test_register_reply_is_known_by_content_and_look_alikes_are_skipped(bus, motor, answer):
    # Each look-alike says mode 2: taking one would make the driver write and read again, and the
    # read-back would go unanswered.
    motor.script([Rule(0x7FF, [*LOOK_ALIKES, answer], data=READ, times=1)])
    assert Damiao(1, MASTER, timeout_ms=500).ensure_mit_mode(bus) is None
    assert sent(motor.collect()) == [(0x7FF, READ)]


# ----------------------------------------------------------------------------------------------
# Failures before and after the exchange.

INVALID_LIMITS = [
    pytest.param(MitLimits(p_max=-1), "min = 1.0, max = -1.0", id="p_max-negative"),
    pytest.param(MitLimits(kp_max=-1), "min = 0.0, max = -1.0", id="kp_max-negative"),
    pytest.param(MitLimits(t_max=-2.5), "min = 2.5, max = -2.5", id="t_max-negative"),
    pytest.param(MitLimits(kd_max=-1e20), "min = 0.0, max = -1e20", id="kd_max-huge-negative"),
    pytest.param(MitLimits(v_max=NAN), "min = NaN, max = NaN", id="v_max-nan"),
    pytest.param(MitLimits(p_max=NAN, kp_max=-1), "min = NaN, max = NaN", id="p_max-checked-first"),
]


@pytest.mark.parametrize("limits, bounds", INVALID_LIMITS)
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda d, b: d.mit_control(b, MitSetpoint()), id="mit_control"),
        pytest.param(lambda d, b: d.control(b, CPS.mit(MitSetpoint(1, 2, 3, 4, 5))), id="control"),
    ],
)
def test_invalid_limits_fail_before_anything_is_sent(bus, motor, limits, bounds, call):
    motor.script([Rule(0x001, [Out(MASTER, FEEDBACK)])])
    with pytest.raises(RuntimeError) as caught:
        call(Damiao(1, MASTER, limits=limits), bus)
    assert caught.value.args == (f"min > max, or either was NaN. {bounds}",)
    assert motor.collect().count == 0
    assert_bus_usable(bus, motor)


def test_negative_zero_limits_are_valid(bus, motor):
    motor.script([Rule(0x001, [Out(MASTER, FEEDBACK)])])
    limits = MitLimits(-0.0, -0.0, -0.0, -0.0, -0.0)
    Damiao(1, MASTER, limits, ANSWERED_MS).mit_control(bus, MitSetpoint())
    assert sent(motor.collect()) == [(0x001, bytes(8))]  # every range is empty: all counts 0


SHORT = [
    pytest.param(Out(MASTER, h("01 7F FF 7F")), 4, id="4-bytes"),
    pytest.param(Out(MASTER), 0, id="empty"),
    pytest.param(Out(MASTER, FEEDBACK[:7]), 7, id="7-bytes"),
    pytest.param(Out(MASTER, FEEDBACK[:5], fd=True), 5, id="fd-5-bytes"),
    pytest.param(Out(MASTER, remote=True, length=4), 4, id="remote-4-bytes"),
]


@pytest.mark.parametrize("reply, length", SHORT)
def test_short_reply_fails_and_leaves_the_bus_usable(bus, motor, reply, length):
    motor.script([Rule(0x001, [reply])])
    with pytest.raises(RuntimeError) as caught:
        Damiao(1, MASTER, timeout_ms=ANSWERED_MS).enable(bus)
    assert caught.value.args == (f"reply too short to decode: {length} bytes, need 8",)
    assert_bus_usable(bus, motor)


def test_many_motors_share_one_bus(bus, motor):
    motor.script([Rule(n, [Out(0x10 + n, bytes([n]) + FEEDBACK[1:])]) for n in range(1, 5)])
    motors = [Damiao(n, 0x10 + n, timeout_ms=ANSWERED_MS) for n in range(1, 5)]
    for _ in range(3):
        assert [m.enable(bus).motor_id for m in motors] == [1, 2, 3, 4]
    assert [s.can_id for s in motor.collect().seen] == [1, 2, 3, 4] * 3
