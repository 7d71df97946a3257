"""Decimation for display: the page cannot draw every sample of every motor at 500 Hz, and need
not. Time is cut into buckets; each bucket keeps the samples that hold the lowest and the highest
value of every plotted series, and its last one, in time order. Every row kept is a whole sample,
so target and measurement stay paired; a spike in any series survives; the recording is never
decimated (recording.py).

A row: t, status, position, velocity, torque, t_mos, t_rotor, then the targets of position,
velocity and torque (None where the mode has none, or while the motor is disabled)."""

from __future__ import annotations

from collections.abc import Sequence

Row = tuple[float | int | None, ...]
T, STATUS = 0, 1
PLOTTED = range(2, 10)  # every column but the time and the status


def decimate(rows: Sequence[Row], bucket_s: float) -> list[Row]:
    """The rows to draw out of `rows` (in time order), buckets of `bucket_s` seconds."""
    kept: list[Row] = []
    start = 0
    while start < len(rows):
        bucket = int(rows[start][T] // bucket_s)  # type: ignore[operator]
        end = start + 1
        while end < len(rows) and int(rows[end][T] // bucket_s) == bucket:  # type: ignore[operator]
            end += 1
        keep = {end - 1}
        for column in PLOTTED:
            values = [(rows[i][column], i) for i in range(start, end) if rows[i][column] is not None]
            if values:
                keep.add(min(values)[1])
                keep.add(max(values)[1])
        # A status change must show where it happened, whatever the values did.
        keep.update(i for i in range(start + 1, end) if rows[i][STATUS] != rows[i - 1][STATUS])
        if start > 0 and rows[start][STATUS] != rows[start - 1][STATUS]:
            keep.add(start)
        kept.extend(rows[i] for i in sorted(keep))
        start = end
    return kept
