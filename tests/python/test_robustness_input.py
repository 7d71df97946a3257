"""Every callable of velkarin under arbitrary argument values and kinds (hypothesis) and every
numeric argument at its extremes: results follow the conversion rules, failures are only the
documented exception types with the documented texts, and no reference is leaked."""

from __future__ import annotations

import ctypes
import gc
import inspect
import math
import operator
import struct
import sys
import warnings
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import canframes
from responder import Out, Responder, Rule
from robust_util import TIMEOUT_TEXT, feedback, open_fds
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport
from velkarin import mit_setpoint

OUT_OF_RANGE = "out of range integral type conversion attempted"
EXAMPLES = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])  # fmt: skip


# ----------------------------------------------------------------------------------------------
# Argument objects with misbehaving number protocols.


def fresh(error: BaseException) -> BaseException:
    # A new exception each time: raising a stored one would grow its traceback, and with it
    # the references to this argument.
    return type(error)(*error.args)


class FloatLike:
    """`value` is what __float__ returns, or, when it is an exception, what it raises."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise fresh(self.value)
        return self.value

    def __repr__(self) -> str:
        return f"FloatLike({self.value!r})"


class IndexLike:
    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise fresh(self.value)
        return self.value

    def __repr__(self) -> str:
        return f"IndexLike({self.value!r})"


class Both(FloatLike, IndexLike):
    """__float__ and __index__ disagree: the float conversion must use __float__."""

    def __index__(self):
        return 7


class SubFloat(float):
    pass


class SubInt(int):
    pass


# ----------------------------------------------------------------------------------------------
# The conversion rules, written from the interpreter's side: what each parameter kind gives for
# a value, or the exception it raises.

FLT_SUBNORMAL = 1.401298464324817e-45


def f32(x: float) -> float:
    return ctypes.c_float(x).value  # round to nearest; beyond the range: infinity


def float_arg(x: Any) -> float:
    # math.ldexp takes its first argument through the C float conversion (same value, same
    # exceptions) and returns it unchanged for an exponent of 0.
    return f32(math.ldexp(x, 0))


def long_arg(x: Any) -> int:
    v = operator.index(x)
    if not -(2**63) <= v < 2**63:
        raise OverflowError("Python int too large to convert to C long")
    if not 0 <= v <= 0xFFFF:
        raise OverflowError(OUT_OF_RANGE)
    return v


def u64_arg(x: Any) -> int:
    v = operator.index(x)
    if not 0 <= v < 2**64:
        raise OverflowError("out of range for an unsigned 64-bit integer")
    return v


def instance_arg(cls: type, none_ok: bool = False) -> Callable[[Any], Any]:
    def convert(x: Any) -> Any:
        if (none_ok and x is None) or type(x) is cls:
            return x
        raise TypeError(f"'{type(x).__qualname__}' object cannot be converted to '{cls.__name__}'")

    return convert


FLOAT, ID, U64 = float_arg, long_arg, u64_arg
MIT_LIMITS_OR_NONE = instance_arg(MitLimits, none_ok=True)
MIT_SETPOINT = instance_arg(MitSetpoint)


def five(names: str) -> list[tuple[str, Callable]]:
    return [(n, FLOAT) for n in names.split()]


# name: (callable, [(parameter, conversion)], the mode of the ControlSetpoint it builds)
VALUE_CALLABLES: dict[str, tuple[Callable, list[tuple[str, Callable]], int | None]] = {
    "MitLimits": (MitLimits, five("p_max v_max kp_max kd_max t_max"), None),
    "MitSetpoint": (MitSetpoint, five("q dq kp kd tau"), None),
    "mit_setpoint": (mit_setpoint, five("q dq kp kd tau"), None),
    "ControlSetpoint.mit": (ControlSetpoint.mit, [("setpoint", MIT_SETPOINT)], 1),
    "ControlSetpoint.pos_vel": (ControlSetpoint.pos_vel, five("position velocity"), 2),
    "ControlSetpoint.vel": (ControlSetpoint.vel, five("velocity"), 3),
    "ControlSetpoint.force_pos": (ControlSetpoint.force_pos,
                                  five("position velocity_limit torque_ratio"), 4),
    "Damiao": (Damiao, [("motor_id", ID), ("master_id", ID), ("limits", MIT_LIMITS_OR_NONE),
                        ("timeout_ms", U64)], None),
}  # fmt: skip


def same_float(a: float, b: float) -> bool:
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


def outcome(call: Callable[[], Any]) -> tuple[Any, BaseException | None]:
    try:
        return call(), None
    except BaseException as e:  # noqa: BLE001 - the exception is the outcome
        return None, e


def expected_outcome(name: str, args: tuple, kwargs: dict) -> tuple[dict | None, Exception | None]:
    """The converted arguments by name, or the exception the call must raise."""
    func, params, _ = VALUE_CALLABLES[name]
    try:
        bound = inspect.signature(func).bind(*args, **kwargs)
    except TypeError as e:
        return None, e  # the argument rule; its texts are tested on their own
    bound.apply_defaults()
    converted = {}
    for pname, convert in params:
        value = bound.arguments[pname]
        converted[pname], error = outcome(lambda: convert(value))
        if isinstance(error, TypeError):
            return None, TypeError(f"argument '{pname}': {error}")
        if error is not None:
            return None, error
    return converted, None


def check_result(name: str, result: Any, converted: dict) -> None:
    func, params, mode = VALUE_CALLABLES[name]
    if isinstance(mode, int):
        assert type(result) is ControlSetpoint and result.mode == mode
    elif name == "Damiao":
        assert result.motor_id == converted["motor_id"]
        assert result.master_id == converted["master_id"]
    else:
        for pname, _ in params:
            assert same_float(getattr(result, pname), converted[pname]), pname


def run_and_compare(name: str, args: tuple, kwargs: dict) -> None:
    func = VALUE_CALLABLES[name][0]
    watched = [a for a in (*args, *kwargs.values()) if isinstance(a, (FloatLike, IndexLike))]
    # The collector may free other holders of these objects mid-call (hypothesis keeps some in
    # cycles): counts are compared with it off.
    collecting = gc.isenabled()
    gc.disable()
    try:
        compare_outcome(name, func, args, kwargs, watched)
    finally:
        if collecting:
            gc.enable()


def compare_outcome(name: str, func: Callable, args: tuple, kwargs: dict, watched: list) -> None:
    converted, want = expected_outcome(name, args, kwargs)
    refs = [sys.getrefcount(a) for a in watched]
    result, got = outcome(lambda: func(*args, **kwargs))
    if want is None:
        assert got is None, f"{name}{args}{kwargs} raised {got!r}"
        check_result(name, result, converted)
    else:
        assert type(got) is type(want), f"{name}{args}{kwargs}: {got!r}, expected {want!r}"
        # Texts the module words are exact; the interpreter's own are its business.
        if isinstance(want, TypeError) and str(want).startswith("argument '"):
            assert str(got) == str(want)
        if str(want) == OUT_OF_RANGE:
            assert str(got) == OUT_OF_RANGE
        # An exception raised by the argument's own code comes out unchanged.
        if not isinstance(want, (TypeError, OverflowError)):
            assert got.args == want.args
    del result, got
    assert [sys.getrefcount(a) for a in watched] == refs, "a reference to an argument leaked"


# ----------------------------------------------------------------------------------------------
# Every numeric parameter at its extremes.

EXTREMES = [
    math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, FLT_SUBNORMAL, -FLT_SUBNORMAL,
    FLT_SUBNORMAL / 2, 5e-324, sys.float_info.max, -sys.float_info.max,
    3.4028235677973366e38,  # just past the largest float32: rounds to infinity
    True, False, 0, -1, 65535, 65536, 2**31, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**100),
    2**1024,  # beyond every double: the float conversion overflows
    SubFloat(1.5), SubInt(9),
    FloatLike(2.5), FloatLike(SubFloat(2.5)), FloatLike(3), FloatLike("1"), FloatLike(None),
    FloatLike(TypeError("no float")), FloatLike(ValueError("sensor offline")),
    FloatLike(OverflowError("too hot")), FloatLike(ZeroDivisionError("x/0")),
    FloatLike(KeyboardInterrupt()), FloatLike(MemoryError()),
    IndexLike(3), IndexLike(-5), IndexLike(2**70), IndexLike(SubInt(4)), IndexLike(1.5),
    IndexLike("3"), IndexLike(TypeError("no index")), IndexLike(ValueError("bad index")),
    IndexLike(KeyboardInterrupt()),
    Both(0.25), Both(TypeError("float only")),
    "1", b"1", None, 1j, [1.0], object(),
]  # fmt: skip

NUMERIC_PARAMS = [
    (name, pname)
    for name, (_, params, _) in VALUE_CALLABLES.items()
    for pname, convert in params
    if convert in (FLOAT, ID, U64)
]

# Valid values for the other parameters of a call.
FILL = {"setpoint": MitSetpoint(), "motor_id": 1, "master_id": 2}


@pytest.mark.parametrize("action", ["error", "ignore"])
@pytest.mark.parametrize(
    ("name", "pname"), NUMERIC_PARAMS, ids=[f"{n}-{p}" for n, p in NUMERIC_PARAMS]
)
def test_each_numeric_argument_at_its_extremes(name, pname, action):
    _, params, _ = VALUE_CALLABLES[name]
    # A __float__ or __index__ that returns a subclass is deprecated: as an error the warning
    # must come out of the call unchanged, ignored the value must be taken.
    with warnings.catch_warnings():
        warnings.simplefilter(action, DeprecationWarning)
        for value in EXTREMES:
            kwargs = {p: FILL[p] for p, _ in params if p in FILL and p != pname}
            run_and_compare(name, (), {**kwargs, pname: value})


# ----------------------------------------------------------------------------------------------
# Arbitrary values and call shapes.

numbers = st.one_of(
    st.floats(),
    st.floats(width=32),
    st.integers(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.booleans(),
)
misbehaving = st.one_of(
    st.builds(FloatLike, st.one_of(numbers, st.none(), st.text(max_size=2),
                                   st.sampled_from([TypeError("t"), ValueError("v"),
                                                    OverflowError("o"), ArithmeticError("a")]))),
    st.builds(IndexLike, st.one_of(st.integers(), st.floats(), st.none(),
                                   st.sampled_from([TypeError("t"), ValueError("v")]))),
)  # fmt: skip
module_objects = st.sampled_from([
    MitLimits(), MitLimits(p_max=-1), MitSetpoint(), ControlSetpoint.vel(1.0), Damiao(1, 2),
    MitLimits, Damiao, MotorState, None, object(), "vcan0", b"\x00", 1j, [], (), {},
])  # fmt: skip
anything = st.one_of(numbers, misbehaving, module_objects, st.text(max_size=4))


@st.composite
def call_shapes(draw, params: list[tuple[str, Callable]]) -> tuple[tuple, dict]:
    """A call: a positional prefix, the rest by keyword, some omitted, now and then one too
    many or an unknown keyword."""
    values = [draw(anything) for _ in params]
    given_count = draw(st.integers(0, len(params)))
    positional = draw(st.integers(0, given_count))
    args = tuple(values[:positional])
    named = zip(params[positional:given_count], values[positional:given_count])
    kwargs = {p: v for (p, _), v in named}
    extra = draw(st.sampled_from([None, None, None, None, "positional", "keyword"]))
    if extra == "positional" and not kwargs:
        args += (draw(anything),)
    elif extra == "keyword":
        kwargs[draw(st.sampled_from(["x", "bus", "self", "q"]))] = draw(anything)
    return args, kwargs


@pytest.mark.parametrize("name", VALUE_CALLABLES)
@EXAMPLES
@given(data=st.data())
def test_any_arguments_give_the_converted_values_or_a_documented_error(name, data):
    args, kwargs = data.draw(call_shapes(VALUE_CALLABLES[name][1]))
    run_and_compare(name, args, kwargs)


@pytest.mark.parametrize("cls", [ControlSetpoint, MotorState])
@settings(max_examples=30, deadline=None)
@given(args=st.lists(anything, max_size=3))
def test_classes_without_a_constructor_refuse_any_arguments(cls, args):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls(*args)


@settings(max_examples=30, deadline=None)
@given(name=st.one_of(st.text(max_size=18), anything))
def test_opening_any_name_raises_only_documented_errors(name):
    fds = open_fds()
    try:
        bus = SocketCanTransport(name)
    except TypeError as e:
        assert not isinstance(name, str)
        assert str(e) == (f"argument 'iface': '{type(name).__qualname__}' object cannot be "
                          "converted to 'PyString'")  # fmt: skip
    except UnicodeEncodeError:
        assert isinstance(name, str)
    except OSError as e:
        assert isinstance(name, str) and e.errno is None and len(e.args) == 1
    else:
        assert type(bus) is SocketCanTransport
        del bus
    assert open_fds() == fds


# ----------------------------------------------------------------------------------------------
# Bus commands with arbitrary values, on the virtual bus.

finite_or_not = st.floats(width=32) | st.sampled_from([math.nan, math.inf, -math.inf, 1e300])
limits = st.none() | st.builds(MitLimits, *[finite_or_not] * 5)
setpoints = st.one_of(
    st.builds(MitSetpoint, *[finite_or_not] * 5),
    st.builds(lambda sp: ControlSetpoint.mit(sp), st.builds(MitSetpoint, finite_or_not)),
    st.builds(ControlSetpoint.pos_vel, finite_or_not, finite_or_not),
    st.builds(ControlSetpoint.vel, finite_or_not),
    st.builds(ControlSetpoint.force_pos, finite_or_not, finite_or_not, finite_or_not),
)


def limits_ok(lim: MitLimits | None) -> bool:
    if lim is None:
        return True
    return all(not math.isnan(v) and v >= 0 for v in (lim.p_max, lim.v_max, lim.kp_max,
                                                      lim.kd_max, lim.t_max))  # fmt: skip


@pytest.fixture(scope="module")
def wire() -> Iterator[tuple[SocketCanTransport, Any]]:
    """A bus object on vcan0 and a raw socket that sees what it sends (the tests using it carry
    requires_bus, which is checked before fixtures are made)."""
    peer = canframes.open_raw_socket("vcan0", timeout=1.0)
    try:
        yield SocketCanTransport("vcan0"), peer
    finally:
        peer.close()


@pytest.mark.requires_bus
@EXAMPLES
@given(motor_id=st.integers(0, 0xFFFF), lim=limits, sp=setpoints,
       method=st.sampled_from(["mit_control", "control", "enable", "ensure_mit_mode"]))  # fmt: skip
def test_commands_with_any_values_send_their_frame_and_fail_only_as_documented(
    wire, motor_id, lim, sp, method
):
    bus, peer = wire
    canframes.drain(peer)
    d = Damiao(motor_id, 0x7F0, lim, 0)  # nobody answers, and nobody is waited for
    if method == "mit_control" and type(sp) is not MitSetpoint:
        with pytest.raises(TypeError, match="^argument 'setpoint': 'ControlSetpoint' object"):
            d.mit_control(bus, sp)
        return
    if method == "control" and type(sp) is not ControlSetpoint:
        sp = ControlSetpoint.mit(sp)
    mit = method == "mit_control" or (method == "control" and sp.mode == 1)
    call = getattr(d, method)
    with pytest.raises(RuntimeError) as caught:
        call(bus, sp) if method in ("mit_control", "control") else call(bus)
    if mit and not limits_ok(lim):
        assert caught.value.args[0].startswith("min > max, or either was NaN. min = ")
        assert canframes.drain(peer) == []  # refused before sending
        return
    assert caught.value.args == (TIMEOUT_TEXT,)
    frame = canframes.recv_frame(peer)
    assert canframes.drain(peer) == []  # one frame, nothing sent again
    assert (frame.fd, frame.extended, frame.remote, len(frame.data)) == (False, False, False, 8)
    if method == "ensure_mit_mode":
        assert (frame.can_id, frame.data) == (0x7FF, struct.pack("<HBB4x", motor_id, 0x33, 10))
    elif method == "enable":
        assert (frame.can_id, frame.data) == (motor_id & 0x7FF, bytes.fromhex("FFFFFFFFFFFFFFFC"))
    elif not mit:
        offset = {2: 0x100, 3: 0x200, 4: 0x300}[sp.mode]
        assert frame.can_id == (offset + motor_id) & 0x7FF
    else:
        assert frame.can_id == motor_id & 0x7FF


@pytest.mark.requires_bus
@settings(max_examples=40, deadline=None)
@given(bus=anything, method=st.sampled_from(
    ["enable", "disable", "set_zero", "clear_error", "ensure_mit_mode", "mit_control", "control"]
))  # fmt: skip
def test_anything_but_a_bus_object_as_bus_is_a_type_error(bus, method):
    with pytest.raises(TypeError) as caught:
        getattr(Damiao(1, 2), method)(bus, *([MitSetpoint()] if "control" in method else []))
    assert str(caught.value) == (f"argument 'bus': '{type(bus).__qualname__}' object cannot be "
                                 "converted to 'SocketCanTransport'")  # fmt: skip


# ----------------------------------------------------------------------------------------------
# Time-outs at their extremes, against a motor that answers after 50 ms.

TIMEOUTS_MS = [
    pytest.param(2**64 - 1, True, id="2**64-1"),
    pytest.param(2**63, True, id="2**63"),
    pytest.param(2**31 * 1000 + 999, True, id="past-the-socket-limit"),
    pytest.param(10**12, True, id="10**12"),
    pytest.param(1001, True, id="1001"),
    pytest.param(True, False, id="True-is-1ms"),
    pytest.param(1, False, id="1"),
]


@pytest.fixture(scope="module")
def slow_motor() -> Iterator[Responder]:
    stand_in = Responder("vcan0")
    try:
        yield stand_in
    finally:
        stand_in.close()


@pytest.mark.requires_bus
@pytest.mark.parametrize(("timeout_ms", "answered"), TIMEOUTS_MS)
@pytest.mark.parametrize("method", ["enable", "ensure_mit_mode"])
def test_huge_time_outs_wait_for_the_reply_and_tiny_ones_expire(
    slow_motor, timeout_ms, answered, method
):
    slow_motor.script([
        Rule(0x001, [Out(0x11, feedback(1, 0x33, 0x44))], delay=0.05),
        Rule(0x7FF, [Out(0x11, bytes.fromhex("0100330A01000000"))], delay=0.05),
    ])  # fmt: skip
    bus = SocketCanTransport("vcan0")
    call = getattr(Damiao(1, 0x11, timeout_ms=timeout_ms), method)
    if answered:
        result = call(bus)
        assert result is None if method == "ensure_mit_mode" else result.t_mos == 0x33
    else:
        with pytest.raises(RuntimeError) as caught:
            call(bus)
        assert caught.value.args == (TIMEOUT_TEXT,)
