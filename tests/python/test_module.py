"""Facts of the module `velkarin` as Python sees it: attributes, class and method metadata, the
closed shape of every class, the start-up's logging import and the refusal of sub-interpreters."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import velkarin
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport

ALL = [
    "__version__",
    "MitLimits",
    "MitSetpoint",
    "ControlSetpoint",
    "MotorState",
    "Damiao",
    "SocketCanTransport",
    "mit_setpoint",
]

PRESETS = [
    "dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006",
    "dm8009", "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11",
]  # fmt: skip

CONTROL_DOC = (
    "Unified send: dispatches to MIT / POS_VEL / VEL / FORCE_POS based on\n"
    "the `ControlSetpoint` variant. The motor must already be in the\n"
    "matching control mode (use `ensure_mit_mode()` or write register 10)."
)
ENSURE_DOC = (
    "Force the firmware into MIT control mode (register 10 = 1). Some\n"
    "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
    "silently ignored."
)

# class, its text signature (None: the class carries no documentation at all)
CLASSES = [
    (MitLimits, "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)"),
    (MitSetpoint, "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"),
    (ControlSetpoint, None),
    (MotorState, None),
    (Damiao, "(motor_id, master_id, limits=None, timeout_ms=20)"),
    (SocketCanTransport, "(iface)"),
]
CLASS_IDS = [cls.__name__ for cls, _ in CLASSES]

# Everything a class offers beyond what `object` has: no close(), no context manager, no setters.
PUBLIC_NAMES = {
    MitLimits: {"p_max", "v_max", "kp_max", "kd_max", "t_max", *PRESETS},
    MitSetpoint: {"q", "dq", "kp", "kd", "tau"},
    ControlSetpoint: {"mit", "pos_vel", "vel", "force_pos", "mode"},
    MotorState: {"motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor"},
    Damiao: {"motor_id", "master_id", "enable", "disable", "set_zero", "clear_error",
             "mit_control", "control", "ensure_mit_mode"},
    SocketCanTransport: set(),
}  # fmt: skip

# (owner, name, text signature, docstring, static)
METHODS = [
    *[(MitLimits, name, "()", None, True) for name in PRESETS],
    (ControlSetpoint, "mit", "(setpoint)", "MIT impedance setpoint (control mode 1).", True),
    (ControlSetpoint, "pos_vel", "(position, velocity)", "POS_VEL setpoint (control mode 2).", True),
    (ControlSetpoint, "vel", "(velocity)", "VEL setpoint (control mode 3).", True),
    (
        ControlSetpoint,
        "force_pos",
        "(position, velocity_limit, torque_ratio)",
        "FORCE_POS setpoint (control mode 4).",
        True,
    ),
    *[
        (Damiao, name, "($self, bus)", None, False)
        for name in ("enable", "disable", "set_zero", "clear_error")
    ],
    (Damiao, "mit_control", "($self, bus, setpoint)", None, False),
    (Damiao, "control", "($self, bus, setpoint)", CONTROL_DOC, False),
    (Damiao, "ensure_mit_mode", "($self, bus)", ENSURE_DOC, False),
]


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter that finds the same velkarin as this one."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )


# ------------------------------------------------------------------------------------------
# Module attributes.


def test_the_version_is_1_1_0():
    assert velkarin.__version__ == "1.1.0"


def test_all_lists_the_eight_names_in_the_order_they_were_added():
    assert velkarin.__all__ == ALL
    assert type(velkarin.__all__) is list


def test_the_module_docstring_is_the_empty_string():
    assert velkarin.__doc__ == ""


def test_the_module_holds_exactly_its_public_names_in_the_order_they_were_added():
    public = [name for name in vars(velkarin) if not name.startswith("__")]
    assert public == ALL[1:]


def test_the_panic_exception_is_not_a_module_attribute():
    assert not hasattr(velkarin, "PanicException")
    assert "PanicException" not in dir(velkarin)


def test_importing_again_after_removal_from_sys_modules_returns_the_same_module():
    original = sys.modules.pop("velkarin")
    try:
        import velkarin as again  # the re-import is what is tested

        assert again is original
        # A second start-up would have appended the names to __all__ a second time.
        assert again.__all__ == ALL
        assert again.MitLimits is MitLimits
    finally:
        sys.modules["velkarin"] = original


def test_mit_setpoint_is_a_module_function_with_its_signature_and_docstring():
    f = velkarin.mit_setpoint
    assert f.__name__ == "mit_setpoint"
    assert f.__qualname__ == "mit_setpoint"
    assert f.__module__ == "velkarin"
    assert f.__self__ is velkarin
    assert f.__text_signature__ == "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"
    assert f.__doc__ == "Build a `MitSetpoint` (handy when keyword args are awkward)."


# ------------------------------------------------------------------------------------------
# Class metadata and the closed shape of every class.


@pytest.mark.parametrize(("cls", "signature"), CLASSES, ids=CLASS_IDS)
def test_each_class_is_named_in_velkarin_and_documents_only_its_signature(cls, signature):
    assert cls.__module__ == "velkarin"
    assert cls.__qualname__ == cls.__name__
    assert getattr(velkarin, cls.__name__) is cls
    assert cls.__text_signature__ == signature
    # With a signature the documentation is "Name(sig)\n--\n\n", which leaves "" as __doc__.
    assert cls.__doc__ == ("" if signature is not None else None)


@pytest.mark.parametrize(("cls", "signature"), CLASSES, ids=CLASS_IDS)
def test_no_class_can_be_subclassed(cls, signature):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(("cls", "signature"), CLASSES, ids=CLASS_IDS)
def test_no_class_has_an_instance_dict_or_weak_references(cls, signature):
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert "__dict__" not in dir(cls)


@pytest.mark.parametrize(("cls", "signature"), CLASSES, ids=CLASS_IDS)
def test_attributes_of_a_class_itself_cannot_be_set(cls, signature):
    with pytest.raises(TypeError, match="immutable type"):
        cls.extra = 1
    with pytest.raises(TypeError, match="immutable type"):
        cls.__repr__ = object.__repr__


@pytest.mark.parametrize(("cls", "signature"), CLASSES, ids=CLASS_IDS)
def test_each_class_compares_and_hashes_by_identity_only(cls, signature):
    for slot in ("__eq__", "__ne__", "__lt__", "__hash__"):
        assert getattr(cls, slot) is getattr(object, slot), slot


@pytest.mark.parametrize("cls", list(PUBLIC_NAMES), ids=lambda c: c.__name__)
def test_each_class_offers_exactly_its_listed_members(cls):
    assert {name for name in dir(cls) if not name.startswith("_")} == PUBLIC_NAMES[cls]
    for dunder in ("__enter__", "__exit__", "__setattr__", "__reduce_ex__"):
        assert getattr(cls, dunder, None) is getattr(object, dunder, None), dunder


def test_only_damiao_and_the_value_classes_have_a_repr_of_their_own():
    own = {cls for cls, _ in CLASSES if cls.__repr__ is not object.__repr__}
    assert own == {MitLimits, MitSetpoint, ControlSetpoint, MotorState, Damiao}
    assert all(cls.__str__ is object.__str__ for cls, _ in CLASSES)


# One instance of each class Python can build without a bus (bus objects: test_bus.py;
# MotorState: test_values.py, from a reply on the bus).
INSTANCES = [
    pytest.param(lambda: MitLimits(), "p_max", id="MitLimits"),
    pytest.param(lambda: MitSetpoint(), "q", id="MitSetpoint"),
    pytest.param(lambda: ControlSetpoint.vel(1.0), "mode", id="ControlSetpoint"),
    pytest.param(lambda: Damiao(1, 2), "motor_id", id="Damiao"),
]


@pytest.mark.parametrize(("make", "field"), INSTANCES)
def test_instances_refuse_new_attributes_field_assignment_and_deletion(make, field):
    obj = make()
    before = getattr(obj, field)
    with pytest.raises(AttributeError):
        obj.not_a_field = 1
    with pytest.raises(AttributeError):
        setattr(obj, field, 5)
    with pytest.raises(AttributeError):
        delattr(obj, field)
    assert getattr(obj, field) == before
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)


@pytest.mark.parametrize(("make", "field"), INSTANCES)
def test_two_instances_with_equal_fields_are_different_and_hash_by_identity(make, field):
    a, b = make(), make()
    assert a == a
    assert a != b
    assert not (a == b)
    assert hash(a) == object.__hash__(a)
    assert len({a, b}) == 2


# ------------------------------------------------------------------------------------------
# Methods, static methods and presets.


@pytest.mark.parametrize(
    ("owner", "name", "signature", "doc", "static"),
    METHODS,
    ids=[f"{owner.__name__}.{name}" for owner, name, *_ in METHODS],
)
def test_each_method_carries_its_text_signature_and_docstring(owner, name, signature, doc, static):
    method = getattr(owner, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    assert method.__qualname__ == f"{owner.__name__}.{name}"
    assert isinstance(owner.__dict__[name], staticmethod) is static


def test_the_presets_are_listed_in_model_order():
    listed = [name for name, value in MitLimits.__dict__.items() if isinstance(value, staticmethod)]
    assert listed == PRESETS


def test_the_mode_attribute_carries_its_docstring():
    assert ControlSetpoint.mode.__doc__ == (
        "Numeric control mode (matches the value written to register 10)."
    )


@pytest.mark.parametrize(
    ("cls", "fields"),
    [
        (MitLimits, ["p_max", "v_max", "kp_max", "kd_max", "t_max"]),
        (MitSetpoint, ["q", "dq", "kp", "kd", "tau"]),
        (MotorState, ["motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor"]),
        (Damiao, ["motor_id", "master_id"]),
    ],
    ids=lambda v: v.__name__ if isinstance(v, type) else "",
)
def test_field_attributes_carry_no_docstring(cls, fields):
    assert [cls.__dict__[name].__doc__ for name in fields] == [None] * len(fields)


# ------------------------------------------------------------------------------------------
# Start-up in a fresh process.


def test_importing_velkarin_imports_logging():
    result = run_python(
        """
        import sys
        for name in [n for n in sys.modules if n == "logging" or n.startswith("logging.")]:
            del sys.modules[name]
        import velkarin
        print("logging" in sys.modules)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


def test_a_sub_interpreter_cannot_import_velkarin_after_the_main_one_did():
    result = run_python(
        """
        import sys
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("no-subinterpreters")
            sys.exit(0)
        import velkarin
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import velkarin")
        except interpreters.RunFailedError as e:
            print("refused:", e)
        else:
            print("imported")
        interpreters.run_string(sub, "import math")  # the sub-interpreter itself still works
        interpreters.destroy(sub)
        print(velkarin.MitLimits.dm4310())  # and so does the module in the main one
        """
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "no-subinterpreters":
        pytest.skip("this interpreter has no _xxsubinterpreters")
    first, second = result.stdout.splitlines()
    assert first.startswith("refused: <class 'ImportError'>: ")
    assert "sub-interpreter" in first
    assert second == "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"
