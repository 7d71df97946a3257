"""Numbers for the benchmark report: latency percentiles, the spread over repetitions, ratios,
the printed table, and the figures read back from callgrind's output."""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from statistics import median
from typing import Iterable, Sequence


def percentile(sorted_values: Sequence[float], p: float) -> float:
    """The nearest-rank percentile of already sorted values: the smallest value with at least
    p percent of the values at or below it."""
    if not sorted_values:
        raise ValueError("percentile of no values")
    if not 0 < p <= 100:
        raise ValueError(f"percentile {p} outside (0, 100]")
    rank = math.ceil(p / 100 * len(sorted_values))
    return sorted_values[rank - 1]


@dataclass(frozen=True)
class Spread:
    """Median, minimum and maximum of one figure over the repetitions."""

    median: float
    low: float
    high: float

    @classmethod
    def of(cls, values: Iterable[float]) -> Spread:
        v = sorted(values)
        if not v:
            raise ValueError("spread of no values")
        return cls(median(v), v[0], v[-1])

    @property
    def relative(self) -> float:
        """(high - low) / median: 0.1 means the repetitions lay within 10 % of each other."""
        return (self.high - self.low) / self.median if self.median else math.inf

    def as_dict(self) -> dict[str, float]:
        return {"median": self.median, "min": self.low, "max": self.high, "spread": self.relative}


@dataclass
class Row:
    """One contender against one responder: the plain runs give the rate and the CPU time, the
    stamped runs (one clock read per command) the latency distribution."""

    name: str
    responder: str
    plain: list[dict] = field(default_factory=list)
    stamped: list[dict] = field(default_factory=list)

    def rate(self) -> Spread:
        return Spread.of(r["iterations"] / (r["wall_ns"] / 1e9) for r in self.plain)

    def cpu_us(self) -> Spread:
        return Spread.of(r["cpu_ns"] / r["iterations"] / 1e3 for r in self.plain)

    def latency_us(self) -> dict[str, float]:
        """Median and p99 are those of each stamped run, then the median over the runs: a burst
        of load from elsewhere on the machine moves one run, not the figure. The max is the
        largest single command of all runs."""
        runs = [sorted(x / 1e3 for x in r["lat_ns"]) for r in self.stamped if r["lat_ns"]]
        if not runs:
            raise ValueError(f"{self.name}: no latency samples")
        return {
            "median": median(percentile(r, 50) for r in runs),
            "p99": median(percentile(r, 99) for r in runs),
            "max": max(r[-1] for r in runs),
            "samples": sum(len(r) for r in runs),
        }

    def median_spread_us(self) -> Spread:
        """The per-run latency medians: how much the machine moved between runs."""
        return Spread.of(percentile(sorted(r["lat_ns"]), 50) / 1e3 for r in self.stamped)

    def switches(self) -> dict[str, float]:
        """Per iteration, the median over the plain runs of how often the thread waited for its
        peer (voluntary switches) and was preempted (involuntary)."""
        return {kind: median(r[f"{kind}_switches"] / r["iterations"] for r in self.plain)
                for kind in ("voluntary", "involuntary")}

    def missed(self) -> float | None:
        """For a row paced by a ticker: per run, the ticks that passed without a wait as a
        fraction of all ticks, the median over the runs; None for rows that are not paced."""
        runs = [r for r in self.plain + self.stamped if "overruns" in r]
        if not runs:
            return None
        return median(r["overruns"] / (r["iterations"] + r["overruns"]) for r in runs)

    def sim_cpu_us(self) -> Spread | None:
        """CPU time the simulators used per iteration, over the plain runs (None: not measured)."""
        runs = [r for r in self.plain if "sim_cpu_ns" in r]
        if not runs:
            return None
        return Spread.of(r["sim_cpu_ns"] / r["iterations"] / 1e3 for r in runs)

    def summary(self) -> dict:
        sim_cpu = self.sim_cpu_us()
        return {
            "missed_ticks": self.missed(),
            "sim_cpu_us_per_iteration": sim_cpu.as_dict() if sim_cpu else None,
            "name": self.name,
            "responder": self.responder,
            "round_trips_per_s": self.rate().as_dict(),
            "cpu_us_per_command": self.cpu_us().as_dict(),
            "latency_us": self.latency_us(),
            "latency_median_over_reps_us": self.median_spread_us().as_dict(),
            "switches_per_iteration": self.switches(),
            "repetitions": len(self.plain),
            "iterations": self.plain[0]["iterations"] if self.plain else 0,
        }


def ratio(a: float, b: float) -> float:
    return a / b if b else math.inf


def format_table(summaries: Sequence[dict]) -> str:
    """One line per row: rate, latency median/p99/max, CPU per command, and the spread (min-max
    over the repetitions, as a percentage of the median) of rate and CPU."""
    head = (
        f"{'contender':<34} {'responder':<9} {'rt/s':>7} {'±%':>4} {'median':>8} {'p99':>8} "
        f"{'max':>8} {'cpu/cmd':>8} {'±%':>4}"
    )
    unit = f"{'':<34} {'':<9} {'':>7} {'':>4} {'µs':>8} {'µs':>8} {'µs':>8} {'µs':>8} {'':>4}"
    lines = [head, unit, "-" * len(head)]
    for s in summaries:
        rate, cpu, lat = s["round_trips_per_s"], s["cpu_us_per_command"], s["latency_us"]
        lines.append(
            f"{s['name']:<34} {s['responder']:<9} {rate['median']:>7.0f} "
            f"{100 * rate['spread']:>4.0f} {lat['median']:>8.1f} {lat['p99']:>8.1f} "
            f"{lat['max']:>8.1f} {cpu['median']:>8.1f} {100 * cpu['spread']:>4.0f}"
        )
    return "\n".join(lines)


# -- callgrind -------------------------------------------------------------------------------

_TOTALS = re.compile(r"^(?:totals|summary):\s+(\d+)", re.MULTILINE)


def callgrind_total(profile_text: str) -> int:
    """The Ir total of a callgrind output file (its 'totals:' line, else 'summary:')."""
    found = _TOTALS.findall(profile_text)
    if not found:
        raise ValueError("no totals or summary line in the callgrind output")
    return int(found[-1])


# A function line of callgrind_annotate: "12,345 (67.89%)  file:function [object]".
_ANNOTATE_LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(\S.*?)\s*$")


def annotate_top(annotate_text: str, n: int = 5) -> list[dict]:
    """The first n function lines of callgrind_annotate's listing (already sorted by cost), as
    instructions, percentage of the total and function name (file prefix and object dropped)."""
    top: list[dict] = []
    in_listing = False
    for line in annotate_text.splitlines():
        if "file:function" in line:
            in_listing = True
            continue
        if not in_listing:
            continue
        m = _ANNOTATE_LINE.match(line)
        if m is None:
            if top and not line.strip():
                break
            continue
        ir, pct, where = m.groups()
        if "PROGRAM TOTALS" in where:
            continue
        where = re.sub(r"\s+\[[^\]]*\]$", "", where)
        function = where.split(":", 1)[1] if ":" in where else where
        top.append({"ir": int(ir.replace(",", "")), "percent": float(pct), "function": function})
        if len(top) == n:
            break
    return top


# -- strace -c --------------------------------------------------------------------------------

# A row of strace -c's table: "% time, seconds, usecs/call, calls, [errors], syscall".
_STRACE_ROW = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$")


def strace_counts(summary_text: str) -> dict[str, int]:
    """System call name -> number of calls from a `strace -c` summary (the total row left out)."""
    counts: dict[str, int] = {}
    for line in summary_text.splitlines():
        m = _STRACE_ROW.match(line)
        if m and m.group(2) != "total":
            counts[m.group(2)] = counts.get(m.group(2), 0) + int(m.group(1))
    return counts


def calls_per_command(short: dict[str, int], long: dict[str, int], extra: int) -> dict[str, float]:
    """What `extra` more commands cost in system calls: the difference of two runs that differ
    only in their command count, per command, leaving out what start-up noise rounds away."""
    per = {name: (long.get(name, 0) - short.get(name, 0)) / extra for name in long.keys() | short.keys()}
    return dict(sorted(((k, v) for k, v in per.items() if v >= 0.5), key=lambda kv: (-kv[1], kv[0])))
