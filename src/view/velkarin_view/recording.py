"""Recording: every sample of every motor from the moment it starts, at the full loop rate, up to
a window's length, and its CSV in the columns and number texts of `velkarin-tool monitor --csv`.
"""

from __future__ import annotations

import math
import struct
import threading
from collections.abc import Iterable

CSV_HEADER = "time,id,status,position,velocity,torque,t_mos,t_rotor\n"
_F32 = struct.Struct("f")


def _f32(x: float) -> float:
    return _F32.unpack(_F32.pack(x))[0]


def f32_text(x: float) -> str:
    """A single-precision value as the tool writes it: its shortest round-trip digits, always
    positional, no trailing ".0" ("30", "12.5", "-0", "0.0000001", "NaN", "inf")."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "-inf" if x < 0 else "inf"
    value = _f32(x)
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    magnitude = abs(value)
    for precision in range(9):  # 9 significant digits always round-trip a single
        text = f"{magnitude:.{precision}e}"
        if _f32(float(text)) == magnitude:
            break
    mantissa, exponent = text.split("e")
    digits, exp = mantissa.replace(".", ""), int(exponent)
    whole = exp + 1  # digits before the point
    if whole <= 0:
        body = "0." + "0" * -whole + digits
    elif whole >= len(digits):
        body = digits + "0" * (whole - len(digits))
    else:
        body = digits[:whole] + "." + digits[whole:]
    return sign + body


# One recorded sample: time on the loop's clock, motor id, status, position, velocity, torque,
# t_mos, t_rotor.
Sample = tuple[float, int, int, float, float, float, int, int]


class Recorder:
    """A window of samples. The loop thread adds; the server starts, stops and reads."""

    def __init__(self, window_s: float) -> None:
        self.window_s = window_s
        self._lock = threading.Lock()
        self._samples: list[Sample] = []
        self._started: float | None = None  # loop clock at start; None when not recording

    @property
    def recording(self) -> bool:
        return self._started is not None

    def start(self, now: float) -> None:
        with self._lock:
            self._samples = []
            self._started = now

    def stop(self) -> None:
        with self._lock:
            self._started = None

    def add(self, samples: Iterable[Sample]) -> bool:
        """Takes one round's samples; False once the window is full (recording then stops)."""
        if self._started is None:
            return True
        with self._lock:
            if self._started is None:
                return True
            for s in samples:
                if s[0] - self._started > self.window_s:
                    self._started = None
                    return False
                self._samples.append(s)
        return True

    def summary(self) -> dict[str, object]:
        with self._lock:
            n = len(self._samples)
            span = self._samples[-1][0] - self._samples[0][0] if n else 0.0
            return {"recording": self._started is not None, "samples": n, "seconds": span,
                    "window_s": self.window_s}

    def csv(self) -> str:
        """The recording as CSV, time counted from its first sample."""
        with self._lock:
            samples = list(self._samples)
        if not samples:
            return CSV_HEADER
        t0 = samples[0][0]
        rows = [f"{t - t0:.6f},{i},{status},{f32_text(q)},{f32_text(dq)},{f32_text(tau)},{tm},{tr}\n"
                for t, i, status, q, dq, tau, tm, tr in samples]
        return CSV_HEADER + "".join(rows)
