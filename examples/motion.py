"""Targets for the examples, chosen so that no joint ever jumps: a ramp from the poses the motors
are found in to the start of their motion and back, and sines that start and end at rest.

A target is a function of the time t since its start that gives every motor's (q, dq) in rad
and rad/s; each comes with how many seconds it lasts. The README's MotorGroup program carries a
copy of `ramp` and `sines` (a test compares their code, docstrings aside), so neither has type
annotations.
"""

from __future__ import annotations

import math
from collections.abc import Callable

Targets = Callable[[float], list[tuple[float, float]]]

MIN_RAMP_S = 0.5  # even a short move takes this long, so that it starts and ends gently
MAX_RAMP_S = 10.0  # a motor further away than this allows at the speed limit is not moved


def ramp(start, goal, speed):
    """Every motor from its pose in `start` to its pose in `goal`, all arriving together,
    cosine-shaped: at rest at both ends. Over d rad in T s a cosine ramp is fastest in its
    middle, at pi/2 * d / T, so T is chosen to keep the furthest motor within `speed` (rad/s)."""
    reach = max(abs(g - s) for s, g in zip(start, goal))
    seconds = max(MIN_RAMP_S, math.pi / 2 * reach / speed)

    def at(t):
        phase = math.pi * min(t / seconds, 1.0)
        return [(s + (g - s) * (1 - math.cos(phase)) / 2,
                 (g - s) * math.pi / (2 * seconds) * math.sin(phase)) for s, g in zip(start, goal)]
    return at, seconds


def sines(amplitude, frequencies, seconds):
    """Every motor its own sine about 0, from -amplitude at rest, for the whole number of periods
    nearest to `seconds` (one at least). A motor whose periods end sooner holds -amplitude until
    the last one's end, so that all of them end at rest together."""
    periods = [max(1, round(seconds * f)) for f in frequencies]
    length = max(n / f for n, f in zip(periods, frequencies))

    def at(t):
        targets = []
        for n, f in zip(periods, frequencies):
            w = 2 * math.pi * f
            if t < n / f:
                targets.append((-amplitude * math.cos(w * t), amplitude * w * math.sin(w * t)))
            else:
                targets.append((-amplitude, 0.0))
        return targets
    return at, length
