"""The one argument rule of every callable in velkarin, with its exact TypeError texts, and the
conversions of the Damiao constructor (ids, limits, time-out) with their messages."""

from __future__ import annotations

import operator

import pytest

import canframes
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport
from velkarin import mit_setpoint

D = Damiao(1, 2)
SP = MitSetpoint()
CS = ControlSetpoint.vel(1.0)


def host_index_error(value: object) -> str:
    """The interpreter's own message when `value` is not an integer."""
    try:
        operator.index(value)
    except TypeError as e:
        return str(e)
    raise AssertionError(f"{value!r} is an integer")


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def missing(name: str, count: int) -> str:
    plural = "argument" if count == 1 else "arguments"
    return f"{name} missing {count} required positional {plural}: "


# (callable, args, kwargs, exact message)
RULE = [
    # Required parameters missing: one, two, three names.
    (Damiao, (1,), {}, "Damiao.__new__() missing 1 required positional argument: 'master_id'"),
    (Damiao, (), {}, missing("Damiao.__new__()", 2) + "'motor_id' and 'master_id'"),
    (Damiao, (), {"limits": None, "timeout_ms": 5},
     missing("Damiao.__new__()", 2) + "'motor_id' and 'master_id'"),
    (Damiao, (), {"master_id": 2}, missing("Damiao.__new__()", 1) + "'motor_id'"),
    (ControlSetpoint.mit, (), {}, missing("ControlSetpoint.mit()", 1) + "'setpoint'"),
    (ControlSetpoint.pos_vel, (1.0,), {},
     missing("ControlSetpoint.pos_vel()", 1) + "'velocity'"),
    (ControlSetpoint.pos_vel, (), {},
     missing("ControlSetpoint.pos_vel()", 2) + "'position' and 'velocity'"),
    (ControlSetpoint.vel, (), {}, missing("ControlSetpoint.vel()", 1) + "'velocity'"),
    (ControlSetpoint.force_pos, (), {},
     "ControlSetpoint.force_pos() missing 3 required positional arguments: "
     "'position', 'velocity_limit', and 'torque_ratio'"),
    (ControlSetpoint.force_pos, (), {"velocity_limit": 1},
     missing("ControlSetpoint.force_pos()", 2) + "'position' and 'torque_ratio'"),
    (ControlSetpoint.force_pos, (1,), {"torque_ratio": 1},
     missing("ControlSetpoint.force_pos()", 1) + "'velocity_limit'"),
    (D.enable, (), {}, "Damiao.enable() missing 1 required positional argument: 'bus'"),
    (D.disable, (), {}, missing("Damiao.disable()", 1) + "'bus'"),
    (D.set_zero, (), {}, missing("Damiao.set_zero()", 1) + "'bus'"),
    (D.clear_error, (), {}, missing("Damiao.clear_error()", 1) + "'bus'"),
    (D.ensure_mit_mode, (), {}, missing("Damiao.ensure_mit_mode()", 1) + "'bus'"),
    (D.mit_control, (), {}, missing("Damiao.mit_control()", 2) + "'bus' and 'setpoint'"),
    (D.mit_control, (None,), {}, missing("Damiao.mit_control()", 1) + "'setpoint'"),
    (D.control, (), {"setpoint": CS}, missing("Damiao.control()", 1) + "'bus'"),
    (Damiao.enable, (D,), {}, missing("Damiao.enable()", 1) + "'bus'"),  # unbound call
    # Too many positional arguments, no optional parameters.
    (ControlSetpoint.mit, (SP, SP), {},
     "ControlSetpoint.mit() takes 1 positional arguments but 2 were given"),
    (ControlSetpoint.pos_vel, (1, 2, 3), {},
     "ControlSetpoint.pos_vel() takes 2 positional arguments but 3 were given"),
    (ControlSetpoint.vel, (1, 2), {},
     "ControlSetpoint.vel() takes 1 positional arguments but 2 were given"),
    (ControlSetpoint.force_pos, (1, 2, 3, 4, 5), {},
     "ControlSetpoint.force_pos() takes 3 positional arguments but 5 were given"),
    (D.enable, (None, 1), {}, "Damiao.enable() takes 1 positional arguments but 2 were given"),
    (D.ensure_mit_mode, (None, 1, 2), {},
     "Damiao.ensure_mit_mode() takes 1 positional arguments but 3 were given"),
    (D.mit_control, (None, SP, SP), {},
     "Damiao.mit_control() takes 2 positional arguments but 3 were given"),
    (D.control, (None, CS, CS), {}, "Damiao.control() takes 2 positional arguments but 3 were given"),
    # Too many positional arguments, some optional parameters.
    (MitLimits, (1, 2, 3, 4, 5, 6), {},
     "MitLimits.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (MitSetpoint, (1, 2, 3, 4, 5, 6, 7), {},
     "MitSetpoint.__new__() takes from 0 to 5 positional arguments but 7 were given"),
    (mit_setpoint, (1, 2, 3, 4, 5, 6), {},
     "mit_setpoint() takes from 0 to 5 positional arguments but 6 were given"),
    (Damiao, (1, 2, None, 20, 5), {},
     "Damiao.__new__() takes from 2 to 4 positional arguments but 5 were given"),
    # A keyword that names no parameter; it is reported before anything missing.
    (MitLimits, (), {"pmax": 1}, "MitLimits.__new__() got an unexpected keyword argument 'pmax'"),
    (MitSetpoint, (), {"Q": 1}, "MitSetpoint.__new__() got an unexpected keyword argument 'Q'"),
    (mit_setpoint, (), {"x": 1}, "mit_setpoint() got an unexpected keyword argument 'x'"),
    (Damiao, (1, 2), {"timeout": 5}, "Damiao.__new__() got an unexpected keyword argument 'timeout'"),
    (Damiao, (), {"motor_id": 1, "x": 2}, "Damiao.__new__() got an unexpected keyword argument 'x'"),
    (ControlSetpoint.mit, (), {"sp": SP}, "ControlSetpoint.mit() got an unexpected keyword argument 'sp'"),
    (ControlSetpoint.pos_vel, (1, 2), {"velocity_limit": 3},
     "ControlSetpoint.pos_vel() got an unexpected keyword argument 'velocity_limit'"),
    (ControlSetpoint.vel, (), {"v": 1}, "ControlSetpoint.vel() got an unexpected keyword argument 'v'"),
    (ControlSetpoint.force_pos, (1, 2, 3), {"torque": 1},
     "ControlSetpoint.force_pos() got an unexpected keyword argument 'torque'"),
    (D.enable, (), {"bus_": None}, "Damiao.enable() got an unexpected keyword argument 'bus_'"),
    (D.mit_control, (None, SP), {"self": D},
     "Damiao.mit_control() got an unexpected keyword argument 'self'"),
    (D.clear_error, (), {"é": 1}, "Damiao.clear_error() got an unexpected keyword argument 'é'"),
    # A parameter given by position and by keyword.
    (MitLimits, (1,), {"p_max": 2}, "MitLimits.__new__() got multiple values for argument 'p_max'"),
    (MitSetpoint, (1, 2), {"dq": 2}, "MitSetpoint.__new__() got multiple values for argument 'dq'"),
    (mit_setpoint, (1,), {"q": 1}, "mit_setpoint() got multiple values for argument 'q'"),
    (Damiao, (1, 2), {"motor_id": 3}, "Damiao.__new__() got multiple values for argument 'motor_id'"),
    (Damiao, (1, 2, None, 5), {"timeout_ms": 5},
     "Damiao.__new__() got multiple values for argument 'timeout_ms'"),
    (ControlSetpoint.vel, (1,), {"velocity": 2},
     "ControlSetpoint.vel() got multiple values for argument 'velocity'"),
    (ControlSetpoint.force_pos, (1, 2), {"velocity_limit": 2, "torque_ratio": 3},
     "ControlSetpoint.force_pos() got multiple values for argument 'velocity_limit'"),
    (D.disable, (None,), {"bus": None}, "Damiao.disable() got multiple values for argument 'bus'"),
    (D.control, (None, CS), {"setpoint": CS},
     "Damiao.control() got multiple values for argument 'setpoint'"),
    # The bus is checked after parsing and before anything else.
    (D.enable, (None,), {},
     "argument 'bus': 'NoneType' object cannot be converted to 'SocketCanTransport'"),
    (D.disable, (), {"bus": 0},
     "argument 'bus': 'int' object cannot be converted to 'SocketCanTransport'"),
    (D.set_zero, ("vcan0",), {},
     "argument 'bus': 'str' object cannot be converted to 'SocketCanTransport'"),
    (D.clear_error, (D,), {},
     "argument 'bus': 'Damiao' object cannot be converted to 'SocketCanTransport'"),
    (D.ensure_mit_mode, (SocketCanTransport,), {},
     "argument 'bus': 'type' object cannot be converted to 'SocketCanTransport'"),
    (D.mit_control, (None, None), {},
     "argument 'bus': 'NoneType' object cannot be converted to 'SocketCanTransport'"),
    (D.control, (), {"setpoint": 1, "bus": []},
     "argument 'bus': 'list' object cannot be converted to 'SocketCanTransport'"),
]  # fmt: skip


def call_id(entry) -> str:
    func, args, kwargs, _ = entry
    parts = [type(a).__name__ for a in args] + [f"{k}=" for k in kwargs]
    return f"{func.__qualname__}({','.join(parts)})"


@pytest.mark.parametrize(("func", "args", "kwargs", "message"), RULE, ids=[call_id(e) for e in RULE])
def test_a_call_that_does_not_fit_raises_the_fixed_type_error(func, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        func(*args, **kwargs)
    assert str(caught.value) == message
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    ("make", "check"),
    [
        (lambda name: MitLimits(**{name("p_", "max"): 3}), lambda o: o.p_max == 3.0),
        (lambda name: mit_setpoint(**{name("t", "au"): 2}), lambda o: o.tau == 2.0),
        (lambda name: ControlSetpoint.vel(**{name("velo", "city"): 4}), lambda o: o.mode == 3),
        (lambda name: Damiao(1, **{name("master", "_id"): 9}), lambda o: o.master_id == 9),
    ],
    ids=["MitLimits", "mit_setpoint", "ControlSetpoint.vel", "Damiao"],
)
def test_keyword_names_built_at_run_time_match_by_value(make, check):
    # Names joined at run time are not interned, so they miss the identity fast path.
    assert check(make(lambda a, b: "".join([a, b])))


def test_keywords_may_come_in_any_order_and_mix_with_positions():
    sp = MitSetpoint(1, tau=5, kd=4, dq=2)
    assert (sp.q, sp.dq, sp.kp, sp.kd, sp.tau) == (1.0, 2.0, 0.0, 4.0, 5.0)
    d = Damiao(timeout_ms=7, master_id=3, motor_id=4, limits=None)
    assert (d.motor_id, d.master_id) == (4, 3)


# ------------------------------------------------------------------------------------------
# Damiao constructor conversions.

OUT_OF_RANGE = "out of range integral type conversion attempted"

# (args, kwargs, exception type, exact message; None where the interpreter words it)
CONVERSION_ERRORS = [
    ((65536, 1), {}, OverflowError, OUT_OF_RANGE),
    ((-1, 1), {}, OverflowError, OUT_OF_RANGE),
    ((1, 65536), {}, OverflowError, OUT_OF_RANGE),
    ((1, -1), {}, OverflowError, OUT_OF_RANGE),
    ((IndexLike(70000), 1), {}, OverflowError, OUT_OF_RANGE),
    ((2**70, 1), {}, OverflowError, None),  # beyond C long: the interpreter's own overflow
    ((1.0, 1), {}, TypeError, "argument 'motor_id': " + host_index_error(1.0)),
    (("1", 1), {}, TypeError, "argument 'motor_id': " + host_index_error("1")),
    ((None, 1), {}, TypeError, "argument 'motor_id': " + host_index_error(None)),
    ((1, 2.5), {}, TypeError, "argument 'master_id': " + host_index_error(2.5)),
    ((1.0, -1), {}, TypeError, "argument 'motor_id': " + host_index_error(1.0)),  # first wins
    ((-1, 1.0), {}, OverflowError, OUT_OF_RANGE),
    ((1, 2), {"timeout_ms": -5}, OverflowError, None),
    ((1, 2), {"timeout_ms": 2**64}, OverflowError, None),
    ((1, 2), {"timeout_ms": 1.5}, TypeError, "argument 'timeout_ms': " + host_index_error(1.5)),
    ((1, 2), {"timeout_ms": "20"}, TypeError, "argument 'timeout_ms': " + host_index_error("20")),
    ((1, 2), {"timeout_ms": None}, TypeError, "argument 'timeout_ms': " + host_index_error(None)),
    ((1, 2, (12.5, 30, 500, 5, 10)), {}, TypeError,
     "argument 'limits': 'tuple' object cannot be converted to 'MitLimits'"),
    ((1, 2), {"limits": 3}, TypeError,
     "argument 'limits': 'int' object cannot be converted to 'MitLimits'"),
    ((1, 2), {"limits": MitSetpoint()}, TypeError,
     "argument 'limits': 'MitSetpoint' object cannot be converted to 'MitLimits'"),
    ((1, 2), {"limits": MitLimits}, TypeError,
     "argument 'limits': 'type' object cannot be converted to 'MitLimits'"),
    ((1, 2, 3, -1), {}, TypeError,
     "argument 'limits': 'int' object cannot be converted to 'MitLimits'"),  # before timeout_ms
]  # fmt: skip


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    CONVERSION_ERRORS,
    ids=[f"{args}-{kwargs}" for args, kwargs, *_ in CONVERSION_ERRORS],
)
def test_damiao_constructor_conversion_errors(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        Damiao(*args, **kwargs)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    if error is OverflowError:
        assert not str(caught.value).startswith("argument ")  # passes through unprefixed


@pytest.mark.parametrize(
    ("args", "kwargs", "motor_id", "master_id", "text"),
    [
        ((1, 0x11), {}, 1, 17, "Damiao(motor_id=0x1, master_id=0x11)"),
        ((65535, 0), {}, 65535, 0, "Damiao(motor_id=0xffff, master_id=0x0)"),
        ((0x7FF, 0x7FF, None, 0), {}, 0x7FF, 0x7FF, "Damiao(motor_id=0x7ff, master_id=0x7ff)"),
        ((True, 2), {}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((False, IndexLike(0xABC)), {}, 0, 0xABC, "Damiao(motor_id=0x0, master_id=0xabc)"),
        ((), {"motor_id": 0x800, "master_id": 0x1000}, 0x800, 0x1000,
         "Damiao(motor_id=0x800, master_id=0x1000)"),  # all 16 bits are kept
        ((1, 2), {"limits": MitLimits.dm8009()}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2), {"limits": MitLimits(p_max=-1)}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2), {"timeout_ms": IndexLike(1500)}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2), {"timeout_ms": 2**64 - 1}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
        ((1, 2), {"timeout_ms": True}, 1, 2, "Damiao(motor_id=0x1, master_id=0x2)"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)  # fmt: skip
def test_damiao_accepts_integer_like_ids_and_prints_them_in_hex(
    args, kwargs, motor_id, master_id, text
):
    d = Damiao(*args, **kwargs)
    assert (d.motor_id, d.master_id) == (motor_id, master_id)
    assert type(d.motor_id) is int and type(d.master_id) is int
    assert repr(d) == text
    assert str(d) == text


@pytest.mark.parametrize("field", ["motor_id", "master_id"])
def test_damiao_ids_are_read_only(field):
    d = Damiao(3, 4)
    with pytest.raises(AttributeError):
        setattr(d, field, 5)
    with pytest.raises(AttributeError):
        delattr(d, field)
    assert (d.motor_id, d.master_id) == (3, 4)


def test_damiao_keeps_limits_and_time_out_out_of_sight():
    d = Damiao(1, 2, MitLimits.dm8009(), 50)
    for hidden in ("limits", "timeout", "timeout_ms"):
        assert not hasattr(d, hidden)


# ------------------------------------------------------------------------------------------
# Setpoint checks of the command methods need a real bus object to get past the bus check.


@pytest.mark.parametrize(
    ("method", "setpoint", "message"),
    [
        ("mit_control", ControlSetpoint.mit(MitSetpoint()),
         "argument 'setpoint': 'ControlSetpoint' object cannot be converted to 'MitSetpoint'"),
        ("mit_control", None,
         "argument 'setpoint': 'NoneType' object cannot be converted to 'MitSetpoint'"),
        ("mit_control", (0, 0, 0, 0, 0),
         "argument 'setpoint': 'tuple' object cannot be converted to 'MitSetpoint'"),
        ("control", MitSetpoint(),
         "argument 'setpoint': 'MitSetpoint' object cannot be converted to 'ControlSetpoint'"),
        ("control", MitLimits(),
         "argument 'setpoint': 'MitLimits' object cannot be converted to 'ControlSetpoint'"),
        ("control", 2, "argument 'setpoint': 'int' object cannot be converted to 'ControlSetpoint'"),
    ],
)  # fmt: skip
def test_a_wrong_setpoint_is_refused_and_nothing_is_sent(vcan, raw_peer, method, setpoint, message):
    bus = SocketCanTransport(vcan)
    d = Damiao(1, 0x11, timeout_ms=0)
    for call in (lambda: getattr(d, method)(bus, setpoint),
                 lambda: getattr(d, method)(setpoint=setpoint, bus=bus)):  # fmt: skip
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message
    raw_peer.settimeout(0.05)
    with pytest.raises(TimeoutError):
        canframes.recv_frame(raw_peer)

