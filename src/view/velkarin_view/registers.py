"""The motors' register table as velkarin-tool lists it (`velkarin-tool get --help`: number,
variable, access, kind, documented range), read once at start so that the page and the checks
here use the core's own table, and the check of a value against its documented range."""

from __future__ import annotations

import dataclasses
import math
import re

# "  0   UV_Value  RW float  (10, 3.4e38]", "29  OV_Value  RW float  any finite value",
# "13  hw_ver    RO uint32 " (read-only registers have no documented range).
LINE = re.compile(r"\s*(?P<number>\d+)\s+(?P<variable>\w+)\s+(?P<access>RW|RO)\s+(?P<kind>float|uint32)"
                  r"\s*(?P<range>.*?)\s*")
RANGE = re.compile(r"(?P<lo_open>[(\[])(?P<lo>[^,]+),\s*(?P<hi>[^)\]]+)(?P<hi_open>[)\]])")
UINT32_MAX = 0xFFFF_FFFF
FLOAT_MAX = 3.4028234663852886e38
PRINTED_FLOAT_MAX = 3.4e38  # how the listing writes FLOAT_MAX


def bound_of(text: str) -> float:
    if text.startswith("0x"):
        return float(int(text, 16))
    value = float(text)
    return math.copysign(FLOAT_MAX, value) if abs(value) == PRINTED_FLOAT_MAX else value

# Writes the view refuses although the motor takes them: new ids would leave the view's motor
# objects talking to nobody, and a new bit rate only takes effect after a store and a power
# cycle, at which point this interface no longer reaches the motor. velkarin-tool does both
# with the checks and the steps they need.
LEFT_TO_THE_TOOL = {"ESC_ID": "velkarin-tool set ID ESC_ID ...", "MST_ID": "velkarin-tool set ID MST_ID ...",
                    "can_br": "velkarin-tool set ID can_br ... (it prints the steps)"}


@dataclasses.dataclass(frozen=True)
class Register:
    number: int
    variable: str
    writable: bool
    kind: str  # "float" or "uint32"
    range_text: str  # as the tool prints it; "" for a read-only register
    lo: float | None = None
    lo_open: bool = False
    hi: float | None = None
    hi_open: bool = False

    def as_json(self) -> dict[str, object]:
        return {"number": self.number, "variable": self.variable, "writable": self.writable,
                "kind": self.kind, "range": self.range_text, "lo": self.lo, "lo_open": self.lo_open,
                "hi": self.hi, "hi_open": self.hi_open,
                "refused": LEFT_TO_THE_TOOL.get(self.variable)}

    def check(self, value: float | int) -> str | None:
        """Why `value` cannot be written to this register, or None when it can."""
        if not self.writable:
            return f"{self.variable} is read-only"
        if self.variable in LEFT_TO_THE_TOOL:
            return f"{self.variable} is changed with {LEFT_TO_THE_TOOL[self.variable]}: the view would lose the motor"
        if self.kind == "uint32":
            if isinstance(value, float) and not value.is_integer():
                return f"{self.variable} takes a whole number, not {value!r}"
            if not 0 <= value <= UINT32_MAX:
                return f"{self.variable} takes an unsigned 32-bit integer, not {value!r}"
        elif not (math.isfinite(value) and abs(value) <= FLOAT_MAX):
            return f"{self.variable} takes a finite number, not {value!r}"
        if self.lo is not None and (value < self.lo or (self.lo_open and value == self.lo)):
            return f"{self.variable} must be in {self.range_text}, not {value!r}"
        if self.hi is not None and (value > self.hi or (self.hi_open and value == self.hi)):
            return f"{self.variable} must be in {self.range_text}, not {value!r}"
        return None


def parse_listing(text: str) -> list[Register]:
    """The registers of `velkarin-tool get --help`'s table, in its order."""
    table: list[Register] = []
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("registers ")) + 1
    for line in lines[start:]:
        if not line.strip():
            break
        m = LINE.fullmatch(line)
        if m is None:
            raise ValueError(f"unexpected line in velkarin-tool's register table: {line!r}")
        bounds: dict[str, object] = {}
        if r := RANGE.fullmatch(m["range"]):
            bounds = {"lo": bound_of(r["lo"]), "lo_open": r["lo_open"] == "(",
                      "hi": bound_of(r["hi"]), "hi_open": r["hi_open"] == ")"}
        elif m["range"] not in ("", "any finite value"):
            raise ValueError(f"unexpected range in velkarin-tool's register table: {line!r}")
        table.append(Register(int(m["number"]), m["variable"], m["access"] == "RW", m["kind"],
                              m["range"], **bounds))  # type: ignore[arg-type]
    return table
