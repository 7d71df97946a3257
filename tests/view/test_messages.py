"""What the view takes from a page, without a bus: every refusal names what was wrong and yields
no command, and what passes is the command asked for, values within the motor's limits and the
register's documented range (the table as velkarin-tool lists it)."""

from __future__ import annotations

import json

import pytest

from velkarin_view.messages import MAX_MESSAGE, Checker, Command, Refused
from velkarin_view.motors import preset_limits
from velkarin_view.registers import parse_listing
from velkarin_view.tool import register_listing

REGISTERS = {r.variable: r for r in parse_listing(register_listing())}
MODES = ["mit", None]  # motor 1 has not told its mode


@pytest.fixture(scope="module")
def checker() -> Checker:
    return Checker([preset_limits("DM4310"), preset_limits("DM8009")], MODES.__getitem__, 500.0, REGISTERS)


def mit(**fields: object) -> dict[str, object]:
    return {"type": "setpoint", "motor": 0, "mode": "mit", "fields": fields}


def write(register: str, value: object) -> dict[str, object]:
    return {"type": "write_register", "motor": 0, "register": register, "value": value}


def signal(**kw: object) -> dict[str, object]:
    return {"type": "signal", "motor": 0, "shape": "sine", "amplitude": 0.5, "frequency": 1, "offset": 0, **kw}


REFUSED = [
    ("{not json", "not a JSON message"),
    ("[]", "a JSON object"),
    ({"type": "launch"}, 'unknown message type "launch"'),
    ({"type": "enable", "motor": 2}, "no motor 2: this view has motors 0 to 1"),
    ({"type": "enable", "motor": True}, "no motor true"),
    ({"type": "enable", "motor": 1}, "motor 1's control mode is not known yet"),
    ({"type": "mode", "motor": 0, "mode": "torque"}, 'mode must be one of mit, pos_vel, vel, force_pos, not "torque"'),
    (mit(kp=600), "kp must be in [0, 500], not 600"),
    (mit(q=-12.6), "q must be in [-12.5, 12.5], not -12.6"),
    (mit(tau="1"), 'tau must be a finite number, not "1"'),
    ('{"type": "setpoint", "motor": 0, "mode": "mit", "fields": {"q": NaN}}', "q must be a finite number"),
    (mit(speed=1), "fields of mit mode are q, dq, kp, kd, tau"),
    ({**mit(q=0), "mode": "vel"}, 'motor 0 is in mit mode now, not "vel"'),
    (signal(offset=12.25), "must keep q within [-12.5, 12.5]"),
    (signal(frequency=200), "at most 125 Hz at this loop rate"),
    (signal(shape="triangle"), "shape must be off, step, sine, square"),
    (write("OT_Value", 300), "OT_Value must be in [80, 200), not 300"),
    (write("OC_Value", 0), "OC_Value must be in (0, 1), not 0"),
    (write("Damp", 1), "Damp is read-only"),
    (write("ESC_ID", 2), "ESC_ID is changed with velkarin-tool"),
    (write("TIMEOUT", 1.5), "TIMEOUT takes a whole number"),
    (write("TIMEOUT", 2**32), "TIMEOUT takes an unsigned 32-bit integer"),
    (write(["PMAX"], 1), 'unknown register ["PMAX"]'),
    ({"type": "store", "motor": 0}, "flash endures about 10,000 writes"),
    ({"type": "record", "action": "pause"}, "record takes action start or stop"),
    (json.dumps(mit(q=0)) + " " * MAX_MESSAGE, "longer than any the view takes"),
]


@pytest.mark.parametrize("message, why", REFUSED, ids=[why for _, why in REFUSED])
def test_a_bad_message_is_refused_with_its_reason(checker, message, why):
    text = message if isinstance(message, str) else json.dumps(message)
    with pytest.raises(Refused) as refused:
        checker.check(checker.load(text))
    assert why in str(refused.value)


TAKEN = [
    (mit(q=-12.5, kp=500, kd=5), Command("setpoint", 0, {"mode": "mit", "fields": {"q": -12.5, "kp": 500.0, "kd": 5.0}})),
    (write("TIMEOUT", 2000), Command("write_register", 0, {"register": "TIMEOUT", "value": 2000})),
    (write("OV_Value", -1e30), Command("write_register", 0, {"register": "OV_Value", "value": -1e30})),
    (signal(offset=12, amplitude=0.5), Command("signal", 0, {"shape": "sine", "amplitude": 0.5, "frequency": 1.0, "offset": 12.0})),
    ({"type": "signal", "motor": 1, "shape": "off"}, Command("signal", 1, {"shape": "off"})),
    ({"type": "store", "motor": 1, "confirmed": True}, Command("store", 1)),
]


@pytest.mark.parametrize("message, command", TAKEN, ids=[c.kind for _, c in TAKEN])
def test_a_good_message_becomes_its_command(checker, message, command):
    assert checker.check(checker.load(json.dumps(message))) == command


def test_the_register_table_is_the_tools_with_its_documented_ranges():
    assert len(REGISTERS) == 45
    ot, timeout, damp = REGISTERS["OT_Value"], REGISTERS["TIMEOUT"], REGISTERS["Damp"]
    assert (ot.number, ot.lo, ot.lo_open, ot.hi, ot.hi_open) == (2, 80.0, False, 200.0, True)
    assert (timeout.kind, timeout.hi) == ("uint32", 0xFFFF_FFFF)
    assert (damp.writable, damp.check(0.5)) == (False, "Damp is read-only")
    assert REGISTERS["UV_Value"].check(3.4028234e38) is None  # the printed 3.4e38 is the largest float
