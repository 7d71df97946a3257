"""The report's arithmetic: percentiles, spreads, per-row figures, and what is read back from
callgrind's files."""

from __future__ import annotations

import math

import pytest

import stats


@pytest.mark.parametrize(
    "values, p, want",
    [
        (list(range(1, 101)), 50, 50),
        (list(range(1, 101)), 99, 99),
        (list(range(1, 101)), 100, 100),
        (list(range(1, 101)), 0.5, 1),
        ([7], 99, 7),
        ([1, 2, 3, 4], 50, 2),  # nearest rank: ceil(0.5 * 4) = 2nd value
        ([1, 2, 3, 4, 5], 50, 3),
        ([10, 20], 99, 20),
    ],
)
def test_percentile_is_nearest_rank(values, p, want):
    assert stats.percentile(values, p) == want


@pytest.mark.parametrize("values, p", [([], 50), ([1], 0), ([1], 101)])
def test_percentile_refuses_what_has_none(values, p):
    with pytest.raises(ValueError):
        stats.percentile(values, p)


def test_spread_gives_median_range_and_relative_width():
    s = stats.Spread.of([110, 90, 100, 105, 95])
    assert (s.median, s.low, s.high) == (100, 90, 110)
    assert s.relative == pytest.approx(0.2)
    assert stats.Spread.of([0, 0]).relative == math.inf


def run(iterations, wall_ms, cpu_ms, lat_us=(), waits=0, preempted=0):
    return {"iterations": iterations, "wall_ns": wall_ms * 1_000_000,
            "cpu_ns": cpu_ms * 1_000_000, "lat_ns": [x * 1000 for x in lat_us],
            "voluntary_switches": waits, "involuntary_switches": preempted}


def test_row_summary_turns_runs_into_rate_cpu_and_latency():
    row = stats.Row("velkarin mit_control", "sim")
    row.plain = [run(1000, 500, 100, waits=6000, preempted=10), run(1000, 250, 300, waits=1000),
                 run(1000, 1000, 200, waits=2000, preempted=3000)]
    row.stamped = [run(4, 0, 0, [100, 200, 300, 400]), run(4, 0, 0, [1000, 10, 20, 30]),
                   run(2, 0, 0, [50, 60])]
    s = row.summary()
    assert s["round_trips_per_s"] == {"median": 2000, "min": 1000, "max": 4000, "spread": 1.5}
    assert s["cpu_us_per_command"]["median"] == pytest.approx(200)
    assert (s["cpu_us_per_command"]["min"], s["cpu_us_per_command"]["max"]) == pytest.approx((100, 300))
    # Per run: medians 200, 20, 50 and p99s 400, 1000, 60; the figures are their medians,
    # the max the largest of all.
    assert s["latency_us"] == {"median": 50, "p99": 400, "max": 1000, "samples": 10}
    assert s["latency_median_over_reps_us"]["min"] == 20  # 2nd of 10, 20, 30, 1000
    assert s["latency_median_over_reps_us"]["max"] == 200
    assert (s["repetitions"], s["iterations"]) == (3, 1000)
    # Medians of 6, 1, 2 waits and 0.01, 0, 3 preemptions per command.
    assert s["switches_per_iteration"] == {"voluntary": 2.0, "involuntary": 0.01}


def test_row_without_stamped_runs_has_no_latency():
    row = stats.Row("floor", "sim", plain=[run(10, 1, 1)])
    with pytest.raises(ValueError, match="floor"):
        row.summary()


def test_table_has_one_line_per_row_with_its_figures():
    rows = []
    for name, wall in (("floor", 200), ("python-can", 800)):
        r = stats.Row(name, "inproc", plain=[run(1000, wall, 50)], stamped=[run(1, 0, 0, [wall / 1000 * 1000])])
        rows.append(r.summary())
    lines = stats.format_table(rows).splitlines()
    assert len(lines) == 5
    floor, pc = lines[3].split(), lines[4].split()
    assert floor[:3] == ["floor", "inproc", "5000"]  # 1000 commands in 200 ms
    assert pc[:3] == ["python-can", "inproc", "1250"]
    assert floor[4:8] == ["200.0", "200.0", "200.0", "50.0"]  # median p99 max, cpu/cmd in µs


def test_ratio_of_zero_is_infinite():
    assert stats.ratio(3, 2) == 1.5
    assert stats.ratio(1, 0) == math.inf


PROFILE = """\
version: 1
creator: callgrind-3.19.0
events: Ir
fn=(1) main
5 100
summary: 145000
totals: 144962
"""

ANNOTATE = """\
--------------------------------------------------------------------------------
Ir
--------------------------------------------------------------------------------
144,962 (100.0%)  PROGRAM TOTALS

--------------------------------------------------------------------------------
Ir                file:function
--------------------------------------------------------------------------------
 18,200 (12.55%)  /src/Python/ceval.c:_PyEval_EvalFrameDefault [/usr/lib/libpython3.11.so.1.0]
 12,500 ( 8.62%)  ???:velkarin::damiao::mit::encode(velkarin::damiao::MitLimits const&, velkarin::damiao::MitSetpoint const&) [/build/velkarin.so]
 10,000 ( 6.90%)  ???:velkarin::damiao::mit::quantize(float, float, float, unsigned int) [/build/velkarin.so]
  8,500 ( 5.86%)  ???:0x0000000000012345 [???]
    900 ( 0.62%)  ./socket/../sysdeps/unix/sysv/linux/send.c:send [/usr/lib/libc.so.6]
    800 ( 0.55%)  ./socket/recv.c:recv [/usr/lib/libc.so.6]

--------------------------------------------------------------------------------
-- Auto-annotated source: /src/Python/ceval.c
--------------------------------------------------------------------------------
  1,000 ( 0.69%)  int x = 1;
"""


def test_callgrind_total_prefers_the_totals_line():
    assert stats.callgrind_total(PROFILE) == 144962
    assert stats.callgrind_total("summary: 12\n") == 12
    with pytest.raises(ValueError):
        stats.callgrind_total("events: Ir\n")


def test_annotate_top_lists_functions_in_order_without_file_or_object():
    top = stats.annotate_top(ANNOTATE, 5)
    assert [t["function"] for t in top] == [
        "_PyEval_EvalFrameDefault",
        "velkarin::damiao::mit::encode(velkarin::damiao::MitLimits const&, velkarin::damiao::MitSetpoint const&)",
        "velkarin::damiao::mit::quantize(float, float, float, unsigned int)",
        "0x0000000000012345",
        "send",
    ]
    assert (top[0]["ir"], top[0]["percent"]) == (18200, 12.55)
    # The listing ends at its blank line: source annotation below it is not a function.
    assert len(stats.annotate_top(ANNOTATE, 50)) == 6


STRACE = """\
% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 41.00    0.004100           2      2010           clock_gettime
 20.00    0.002000           2      1005           sendto
 19.00    0.001900           1      1005           recvfrom
 18.00    0.001800           1      1005           setsockopt
  2.00    0.000200          20        10         3 openat
------ ----------- ----------- --------- --------- ----------------
100.00    0.010000           2      5035         3 total
"""


def test_strace_counts_reads_calls_with_and_without_errors():
    assert stats.strace_counts(STRACE) == {
        "clock_gettime": 2010, "sendto": 1005, "recvfrom": 1005, "setsockopt": 1005, "openat": 10}


def test_calls_per_command_is_the_difference_of_two_runs():
    short = {"clock_gettime": 1010, "sendto": 505, "recvfrom": 505, "openat": 10, "mmap": 40}
    long = {"clock_gettime": 2010, "sendto": 1005, "recvfrom": 1005, "openat": 10, "mmap": 41}
    assert stats.calls_per_command(short, long, 500) == {
        "clock_gettime": 2.0, "recvfrom": 1.0, "sendto": 1.0}
