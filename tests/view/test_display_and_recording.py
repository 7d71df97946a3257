"""Decimation for display and the recording's CSV, without a bus: what the plots get keeps every
spike and status change as whole samples, and the CSV is velkarin-tool monitor's, column for
column and digit for digit."""

from __future__ import annotations

import math
import random
import subprocess

import pytest

from velkarin_view.display import decimate
from velkarin_view.recording import CSV_HEADER, Recorder, f32_text
from velkarin_view.tool import find_tool

RATE = 500.0
BUCKET = 0.02  # 10 samples of 500 Hz


def sine_rows(seconds: float, noise: float) -> list[tuple]:
    rng = random.Random(1)
    rows = []
    for n in range(int(seconds * RATE)):
        t = n / RATE
        q, dq = math.sin(2 * math.pi * t), 2 * math.pi * math.cos(2 * math.pi * t)
        rows.append((t, 1, q + rng.gauss(0, noise), dq + rng.gauss(0, noise), rng.gauss(0, noise), 25, 26, q, dq, None))
    return rows


@pytest.mark.parametrize("noise", [0.0, 0.2])
def test_decimation_keeps_whole_samples_and_the_envelope_of_every_series(noise):
    rows = sine_rows(2.0, noise)
    rows[333] = rows[333][:4] + (9.0,) + rows[333][5:]  # a torque spike
    rows[500] = (rows[500][0], 0xE) + rows[500][2:]  # one sample reports a fault
    kept = decimate(rows, BUCKET)
    assert set(kept) <= set(rows) and kept == sorted(kept)  # whole samples, in time order
    assert rows[333] in kept and rows[500] in kept and rows[501] in kept  # the spike, the fault and after
    if not noise:  # smooth: mostly each bucket's first and last sample carry its extremes
        assert len(kept) < len(rows) / 4
    for column in range(2, 9):
        for bucket in range(int(2.0 / BUCKET)):
            inside = [r[column] for r in rows if int(r[0] // BUCKET) == bucket]
            shown = [r[column] for r in kept if int(r[0] // BUCKET) == bucket]
            assert (min(shown), max(shown)) == (min(inside), max(inside))


F32_TEXTS = [(30.0, "30"), (12.5, "12.5"), (-0.0, "-0"), (0.0, "0"), (1e-7, "0.0000001"), (0.1, "0.1"),
             (1 / 3, "0.33333334"), (1e20, "100000000000000000000"), (-0.00019073486328125, "-0.00019073486"),
             (float("nan"), "NaN"), (float("-inf"), "-inf")]


@pytest.mark.parametrize("value, text", F32_TEXTS, ids=[t for _, t in F32_TEXTS])
def test_values_are_written_as_the_tool_writes_them(value, text):
    assert f32_text(value) == text


def test_the_csv_has_the_tools_columns_and_the_window_ends_the_recording():
    help_text = subprocess.run([find_tool(), "monitor", "--help"], capture_output=True, text=True, check=True).stdout
    assert "every sample as " + CSV_HEADER.strip() in help_text
    recorder = Recorder(window_s=0.01)
    recorder.start(now=5.0)
    assert recorder.add([(5.0, 1, 1, 0.5, -1.25, 0.1, 25, 26), (5.0, 2, 0, 0.0, 0.0, 0.0, 30, 31)])
    assert recorder.add([(5.004, 1, 1, 0.25, 1e-7, -0.0, 25, 26)])
    assert not recorder.add([(5.02, 1, 1, 0.0, 0.0, 0.0, 25, 26)])  # past the window: it stopped
    assert recorder.csv() == (CSV_HEADER + "0.000000,1,1,0.5,-1.25,0.1,25,26\n0.000000,2,0,0,0,0,30,31\n"
                              "0.004000,1,1,0.25,0.0000001,-0,25,26\n")
    assert recorder.summary()["recording"] is False
