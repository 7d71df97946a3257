"""The value classes MitLimits, MitSetpoint, ControlSetpoint and MotorState, and mit_setpoint:
float32 storage and conversion, presets, constructors, reprs and their errors."""

from __future__ import annotations

import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import canframes
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport
from velkarin import mit_setpoint

FLT_MAX = float.fromhex("0x1.fffffep127")
# Halfway between the largest float32 and 2**128: from here on a double rounds to infinity.
OVERFLOW_MIDPOINT = float.fromhex("0x1.ffffffp127")


def f32(x: float) -> float:
    """x rounded to the nearest float32 and widened back, for values that stay finite."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def host_float_error(value: object) -> str:
    """The interpreter's own message for a failed float conversion of `value`."""
    try:
        math.fabs(value)  # converts exactly like the C float conversion does
    except TypeError as e:
        return str(e)
    raise AssertionError(f"{value!r} converts to a float")


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class Outer:
    class Inner:
        pass


# ------------------------------------------------------------------------------------------
# String forms.

REPRS = [
    (lambda: MitLimits(), "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"),
    (lambda: MitLimits.dm3507(), "MitLimits(p_max=12.566, v_max=50, kp_max=500, kd_max=5, t_max=5)"),
    (lambda: MitSetpoint(), "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"),
    (lambda: mit_setpoint(), "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"),
    (lambda: MitSetpoint(q=-0.0), "MitSetpoint(q=-0, dq=0, kp=0, kd=0, tau=0)"),
    (lambda: MitSetpoint(0.1, 1e20, 1e-7, FLT_MAX, -FLT_MAX),
     "MitSetpoint(q=0.1, dq=100000000000000000000, kp=0.0000001, "
     "kd=340282350000000000000000000000000000000, tau=-340282350000000000000000000000000000000)"),
    (lambda: MitSetpoint(q=1e40, dq=-1e40, kp=math.nan, kd=math.inf, tau=-math.inf),
     "MitSetpoint(q=inf, dq=-inf, kp=NaN, kd=inf, tau=-inf)"),
    (lambda: ControlSetpoint.pos_vel(1.5, -2.0),
     "ControlSetpoint.pos_vel(position=1.5, velocity=-2)"),
    (lambda: ControlSetpoint.vel(velocity=3), "ControlSetpoint.vel(3)"),
    (lambda: ControlSetpoint.vel(-0.0), "ControlSetpoint.vel(-0)"),
    (lambda: ControlSetpoint.force_pos(1.5, 2.5, 0.5),
     "ControlSetpoint.force_pos(position=1.5, velocity_limit=2.5, torque_ratio=0.5)"),
    (lambda: ControlSetpoint.mit(MitSetpoint(kp=10, kd=0.5)),
     "ControlSetpoint.mit(q=0, dq=0, kp=10, kd=0.5, tau=0)"),
]  # fmt: skip


@pytest.mark.parametrize(("make", "text"), REPRS, ids=[text for _, text in REPRS])
def test_repr_and_str_give_the_documented_text(make, text):
    obj = make()
    assert repr(obj) == text
    assert str(obj) == text


def test_repr_prints_the_float32_value_not_its_widening():
    sp = MitSetpoint(q=0.1)
    assert sp.q == 0.10000000149011612
    assert repr(sp).startswith("MitSetpoint(q=0.1,")


@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_the_shortest_text_reads_back_as_the_same_float32(x):
    text = repr(MitSetpoint(q=x)).removeprefix("MitSetpoint(q=").split(",")[0]
    assert "e" not in text and not text.endswith(".")
    assert "." not in text or not text.endswith("0")
    assert f32(float(text)) == x
    assert math.copysign(1.0, float(text)) == math.copysign(1.0, x)


# ------------------------------------------------------------------------------------------
# Float storage and the float-argument rule.


@pytest.mark.parametrize(
    ("value", "stored"),
    [
        (0.1, 0.10000000149011612),
        (2, 2.0),
        (True, 1.0),
        (-(2**24) - 1, -16777216.0),  # an int is rounded like any double
        (10**30, f32(1e30)),
        (FloatLike(0.1), 0.10000000149011612),
        (IndexLike(7), 7.0),
        (1e40, math.inf),
        (-1e40, -math.inf),
        (OVERFLOW_MIDPOINT, math.inf),
        (-OVERFLOW_MIDPOINT, -math.inf),
        (math.nextafter(OVERFLOW_MIDPOINT, 0.0), FLT_MAX),
        (-math.nextafter(OVERFLOW_MIDPOINT, 0.0), -FLT_MAX),
        (1e-46, 0.0),
        (1.5e-45, 1.401298464324817e-45),  # the smallest subnormal float32
    ],
    ids=repr,
)
def test_float_arguments_are_stored_as_the_nearest_float32(value, stored):
    assert MitSetpoint(q=value).q == stored
    assert type(MitSetpoint(q=value).q) is float


def test_nan_and_negative_zero_are_stored_unchanged():
    assert math.isnan(MitLimits(p_max=math.nan).p_max)
    assert math.copysign(1.0, MitSetpoint(tau=-0.0).tau) == -1.0


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_every_finite_double_rounds_like_a_float32_store(x):
    expected = f32(x) if abs(x) < OVERFLOW_MIDPOINT else math.copysign(math.inf, x)
    assert MitLimits(t_max=x).t_max == expected


# Every float parameter of the module: (callable, name, the other arguments it needs).
FLOAT_PARAMS = [
    *[(MitLimits, name, {}) for name in ("p_max", "v_max", "kp_max", "kd_max", "t_max")],
    *[(MitSetpoint, name, {}) for name in ("q", "dq", "kp", "kd", "tau")],
    *[(mit_setpoint, name, {}) for name in ("q", "dq", "kp", "kd", "tau")],
    (ControlSetpoint.pos_vel, "position", {"velocity": 0}),
    (ControlSetpoint.pos_vel, "velocity", {"position": 0}),
    (ControlSetpoint.vel, "velocity", {}),
    (ControlSetpoint.force_pos, "position", {"velocity_limit": 0, "torque_ratio": 0}),
    (ControlSetpoint.force_pos, "velocity_limit", {"position": 0, "torque_ratio": 0}),
    (ControlSetpoint.force_pos, "torque_ratio", {"position": 0, "velocity_limit": 0}),
]
FLOAT_PARAM_IDS = [f"{f.__qualname__}-{name}" for f, name, _ in FLOAT_PARAMS]
NOT_FLOATS = ["1", None, b"1", object(), 1j, [1.0], FloatLike("1.0")]


@pytest.mark.parametrize(("func", "name", "others"), FLOAT_PARAMS, ids=FLOAT_PARAM_IDS)
@pytest.mark.parametrize("bad", NOT_FLOATS, ids=lambda v: type(v).__name__)
def test_a_value_without_a_float_form_is_a_type_error_naming_the_argument(func, name, others, bad):
    with pytest.raises(TypeError) as caught:
        func(**others, **{name: bad})
    assert str(caught.value) == f"argument '{name}': {host_float_error(bad)}"
    assert caught.value.__cause__ is None


@pytest.mark.parametrize(("func", "name", "others"), FLOAT_PARAMS, ids=FLOAT_PARAM_IDS)
def test_a_type_error_raised_by_dunder_float_is_prefixed_and_others_pass_unchanged(
    func, name, others
):
    with pytest.raises(TypeError) as caught:
        func(**others, **{name: FloatRaises(TypeError("no float today"))})
    assert str(caught.value) == f"argument '{name}': no float today"

    original = ValueError("sensor offline")
    with pytest.raises(ValueError) as passed:
        func(**others, **{name: FloatRaises(original)})
    assert passed.value is original


@pytest.mark.parametrize(
    ("call", "name"),
    [
        (lambda: MitSetpoint("a", None), "q"),
        (lambda: MitSetpoint(1, 2, "c", None), "kp"),
        (lambda: MitLimits(None, "x"), "p_max"),
        (lambda: MitLimits(t_max="e", v_max="b"), "v_max"),  # parameter order, not call order
        (lambda: ControlSetpoint.force_pos(1, "b", "c"), "velocity_limit"),
    ],
    ids=["q-first", "kp-first", "p_max-first", "v_max-before-t_max", "velocity_limit-first"],
)
def test_arguments_are_converted_in_parameter_order_and_the_first_failure_wins(call, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        call()


# ------------------------------------------------------------------------------------------
# Presets.

PRESET_VALUES = {
    "dm3507": (12.566, 50.0, 500.0, 5.0, 5.0),
    "dm4310": (12.5, 30.0, 500.0, 5.0, 10.0),
    "dm4310p": (12.5, 50.0, 500.0, 5.0, 10.0),
    "dm4340": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm4340p": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm6006": (12.5, 45.0, 500.0, 5.0, 20.0),
    "dm6248p": (12.566, 20.0, 500.0, 5.0, 120.0),
    "dm8006": (12.5, 45.0, 500.0, 5.0, 40.0),
    "dm8009": (12.5, 45.0, 500.0, 5.0, 54.0),
    "dm10010": (12.5, 20.0, 500.0, 5.0, 200.0),
    "dm10010l": (12.5, 25.0, 500.0, 5.0, 200.0),
    "dmg6215": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmh3510": (12.5, 280.0, 500.0, 5.0, 1.0),
    "dmh6220": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmjh11": (12.5, 10.0, 500.0, 5.0, 12.0),
}
FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")


def fields(limits: MitLimits) -> tuple[float, ...]:
    return tuple(getattr(limits, name) for name in FIELDS)


@pytest.mark.parametrize(("name", "values"), PRESET_VALUES.items(), ids=list(PRESET_VALUES))
def test_each_preset_holds_its_model_ranges_as_float32(name, values):
    preset = getattr(MitLimits, name)()
    assert type(preset) is MitLimits
    assert fields(preset) == tuple(f32(v) for v in values)


def test_the_12_566_presets_read_back_as_the_float32_value():
    assert MitLimits.dm3507().p_max == 12.565999984741211
    assert MitLimits.dm6248p().p_max == 12.565999984741211
    assert struct.pack("<f", MitLimits.dm3507().p_max) == bytes.fromhex("560e4941")


@pytest.mark.parametrize(("a", "b"), [("dm4340p", "dm4340"), ("dmh6220", "dmg6215")])
def test_the_preset_pairs_agree_in_every_field(a, b):
    assert fields(getattr(MitLimits, a)()) == fields(getattr(MitLimits, b)())


def test_dm4310_equals_the_constructor_defaults():
    assert fields(MitLimits.dm4310()) == fields(MitLimits()) == (12.5, 30.0, 500.0, 5.0, 10.0)


@pytest.mark.parametrize("name", PRESET_VALUES)
def test_each_preset_call_returns_a_new_object_also_on_an_instance(name):
    first, second = getattr(MitLimits, name)(), getattr(MitLimits, name)()
    via_instance = getattr(MitLimits(p_max=1), name)()
    assert first is not second and first is not via_instance
    assert fields(first) == fields(second) == fields(via_instance)


@pytest.mark.parametrize(
    ("args", "kwargs"), [((1,), {}), ((None,), {}), ((), {"p_max": 1})], ids=["int", "None", "kw"]
)
def test_a_preset_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError, match=r"dm4310\(\) takes no (keyword )?arguments"):
        MitLimits.dm4310(*args, **kwargs)
    with pytest.raises(TypeError, match=r"dm4310\(\) takes no (keyword )?arguments"):
        MitLimits().dm4310(*args, **kwargs)


# ------------------------------------------------------------------------------------------
# Constructors.


def test_mit_limits_fields_by_position_and_keyword():
    assert fields(MitLimits(1, 2, 3, 4, 5)) == (1.0, 2.0, 3.0, 4.0, 5.0)
    assert fields(MitLimits(t_max=5, p_max=1)) == (1.0, 30.0, 500.0, 5.0, 5.0)
    assert fields(MitLimits(-1, 0, -0.5)) == (-1.0, 0.0, -0.5, 5.0, 10.0)  # nothing is validated


@given(st.lists(st.floats(width=32), max_size=5), st.integers(0, 5))
def test_mit_setpoint_builds_exactly_what_the_constructor_builds(values, split):
    names = ("q", "dq", "kp", "kd", "tau")[: len(values)]
    positional = values[:split]
    keywords = dict(zip(names[split:], values[split:]))
    by_function = mit_setpoint(*positional, **keywords)
    by_class = MitSetpoint(*positional, **keywords)
    assert type(by_function) is MitSetpoint
    assert repr(by_function) == repr(by_class)
    names = ("q", "dq", "kp", "kd", "tau")
    bits = [struct.pack("<5f", *(getattr(o, n) for n in names)) for o in (by_function, by_class)]
    assert bits[0] == bits[1]


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: MitLimits.__new__(MitLimits, 1),
         "MitLimits(p_max=1, v_max=30, kp_max=500, kd_max=5, t_max=10)"),
        (lambda: MitLimits.__new__(MitLimits, t_max=2),
         "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=2)"),
        (lambda: MitSetpoint.__new__(MitSetpoint, 1, tau=2),
         "MitSetpoint(q=1, dq=0, kp=0, kd=0, tau=2)"),
        (lambda: Damiao.__new__(Damiao, 3, master_id=4), "Damiao(motor_id=0x3, master_id=0x4)"),
    ],
    ids=["MitLimits-positional", "MitLimits-keyword", "MitSetpoint", "Damiao"],
)  # fmt: skip
def test_calling_dunder_new_builds_like_calling_the_class(call, expected):
    assert repr(call()) == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: MitLimits.__new__(MitLimits, 1, 2, 3, 4, 5, 6),
         "MitLimits.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        (lambda: MitSetpoint.__new__(MitSetpoint, q="x"),
         f"argument 'q': {host_float_error('x')}"),
        (lambda: Damiao.__new__(Damiao, 1),
         "Damiao.__new__() missing 1 required positional argument: 'master_id'"),
    ],
    ids=["argument-rule", "conversion", "missing"],
)  # fmt: skip
def test_dunder_new_applies_the_same_checks_as_the_class_call(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_dunder_new_refuses_to_build_another_class():
    with pytest.raises(TypeError, match="is not a subtype of velkarin.MitLimits"):
        MitLimits.__new__(MitSetpoint)


@pytest.mark.parametrize(
    ("make", "mode"),
    [
        (lambda: ControlSetpoint.mit(MitSetpoint()), 1),
        (lambda: ControlSetpoint.mit(setpoint=MitSetpoint(q=1)), 1),
        (lambda: ControlSetpoint.pos_vel(1.0, 2.0), 2),
        (lambda: ControlSetpoint.pos_vel(velocity=2, position=1), 2),
        (lambda: ControlSetpoint.vel(0), 3),
        (lambda: ControlSetpoint.force_pos(1, 2, 3), 4),
        (lambda: ControlSetpoint.force_pos(torque_ratio=3, position=1, velocity_limit=2), 4),
        (lambda: ControlSetpoint.pos_vel(1, 2).vel(3), 3),  # static: callable on an instance
    ],
)
def test_each_control_setpoint_constructor_gives_its_mode(make, mode):
    sp = make()
    assert type(sp) is ControlSetpoint
    assert sp.mode == mode
    assert type(sp.mode) is int


def test_control_setpoint_mit_copies_the_setpoint_values():
    source = MitSetpoint(1, 2.5, 3, 0.25, -4)
    wrapped = ControlSetpoint.mit(source)
    assert repr(wrapped) == "ControlSetpoint.mit(q=1, dq=2.5, kp=3, kd=0.25, tau=-4)"
    assert repr(wrapped) == repr(source).replace("MitSetpoint(", "ControlSetpoint.mit(")


def test_control_setpoint_float_fields_are_float32():
    assert repr(ControlSetpoint.force_pos(0.1, 1e40, math.nan)) == (
        "ControlSetpoint.force_pos(position=0.1, velocity_limit=inf, torque_ratio=NaN)"
    )


@pytest.mark.parametrize(
    ("value", "qualname"),
    [
        ((0, 0, 0, 0, 0), "tuple"),
        (None, "NoneType"),
        (MitLimits(), "MitLimits"),
        (ControlSetpoint.vel(1), "ControlSetpoint"),
        (Outer.Inner(), "Outer.Inner"),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_control_setpoint_mit_takes_only_a_mit_setpoint(value, qualname):
    message = f"argument 'setpoint': '{qualname}' object cannot be converted to 'MitSetpoint'"
    with pytest.raises(TypeError) as caught:
        ControlSetpoint.mit(value)
    assert str(caught.value) == message
    with pytest.raises(TypeError) as caught:
        ControlSetpoint.mit(setpoint=value)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("cls", "name"), [(ControlSetpoint, "ControlSetpoint"), (MotorState, "MotorState")]
)
@pytest.mark.parametrize(
    "call",
    [lambda c: c(), lambda c: c(1, 2), lambda c: c(mode=1), lambda c: c.__new__(c)],
    ids=["no-args", "positional", "keyword", "dunder-new"],
)
def test_classes_without_a_constructor_refuse_every_call(cls, name, call):
    with pytest.raises(TypeError) as caught:
        call(cls)
    assert str(caught.value) == f"No constructor defined for {name}"


# ------------------------------------------------------------------------------------------
# MotorState, built from a reply on the bus: the peer's frame waits in the bus socket's queue
# and the command takes it as its reply.


@pytest.fixture
def motor_state(vcan, raw_peer):
    bus = SocketCanTransport(vcan)
    raw_peer.send(canframes.pack_classic(0x11, bytes.fromhex("117FFF7FF7FF1E1C")))
    state = Damiao(1, 0x11, timeout_ms=1000).enable(bus)
    assert canframes.recv_frame(raw_peer).data == bytes.fromhex("FFFFFFFFFFFFFFFC")
    return state


def test_a_feedback_frame_becomes_a_motor_state_with_the_documented_repr(motor_state):
    assert type(motor_state) is MotorState
    text = (
        "MotorState(motor_id=1, error=1, position=-0.0002, velocity=-0.0073, torque=-0.0024, "
        "t_mos=30, t_rotor=28)"
    )
    assert repr(motor_state) == text
    assert str(motor_state) == text


def test_motor_state_attributes_have_their_types_and_decoded_values(motor_state):
    ints = [motor_state.motor_id, motor_state.error, motor_state.t_mos, motor_state.t_rotor]
    assert ints == [1, 1, 30, 28]
    assert all(type(v) is int for v in ints)
    floats = [motor_state.position, motor_state.velocity, motor_state.torque]
    assert all(type(v) is float and f32(v) == v for v in floats)
    assert [format(v, ".4f") for v in floats] == ["-0.0002", "-0.0073", "-0.0024"]


@pytest.mark.parametrize(
    ("payload", "ints"),
    [
        ("F0FFFF7FF7FF80FF", (0, 15, 128, 255)),  # the high halves: unsigned, not negative
        ("0F0000000000007F", (15, 0, 0, 127)),
    ],
)
def test_motor_state_integers_are_the_unsigned_nibbles_and_bytes(vcan, raw_peer, payload, ints):
    bus = SocketCanTransport(vcan)
    raw_peer.send(canframes.pack_classic(0x11, bytes.fromhex(payload)))
    state = Damiao(1, 0x11, timeout_ms=1000).enable(bus)
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == ints
    assert repr(state).startswith(f"MotorState(motor_id={ints[0]}, error={ints[1]}, ")
    assert repr(state).endswith(f", t_mos={ints[2]}, t_rotor={ints[3]})")


def test_motor_state_is_immutable_without_a_dict(motor_state):
    with pytest.raises(AttributeError):
        motor_state.position = 1.0
    with pytest.raises(AttributeError):
        motor_state.extra = 1
    assert motor_state.position < 0
    assert not hasattr(motor_state, "__dict__")
