"""The signal generator for tuning: a step, a sine or a square wave on a motor's main target
(MIT q, POS_VEL and FORCE_POS position, VEL velocity), as a function of the loop's clock."""

from __future__ import annotations

import dataclasses
import math

SHAPES = ("step", "sine", "square")


@dataclasses.dataclass(frozen=True)
class Signal:
    shape: str
    amplitude: float
    frequency: float  # Hz; a step ignores it
    offset: float
    started: float  # the loop's clock when it began, s

    def at(self, t: float) -> tuple[float, float]:
        """The target and its rate of change (the sine's velocity feed-forward; 0 elsewhere)."""
        if self.shape == "step":
            return self.offset + self.amplitude, 0.0
        w = 2 * math.pi * self.frequency
        phase = w * (t - self.started)
        if self.shape == "sine":
            return self.offset + self.amplitude * math.sin(phase), self.amplitude * w * math.cos(phase)
        return self.offset + (self.amplitude if math.sin(phase) >= 0 else -self.amplitude), 0.0

    def as_json(self) -> dict[str, object]:
        return {"shape": self.shape, "amplitude": self.amplitude, "frequency": self.frequency,
                "offset": self.offset}
