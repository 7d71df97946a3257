"""A 1 kHz control loop with the CPU contested: eight CAN FD motors (1/5 Mbit/s) on the
wire-timed simulator, one MotorGroup round per Ticker period, while a busy process spins on the
same CPU; once as an ordinary thread and once after realtime(priority, cpus). Prints one JSON
line per run: the ticks missed and the Ticker's lateness (median, 99th percentile, largest).

    tools/vcan-run .venv/bin/python bench/realtime_loop.py [--seconds S]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
MOTORS = 8


def loop(seconds: float, use_realtime: bool) -> dict:
    import velkarin
    import velkarin_group

    applied = velkarin_group.realtime(priority=80, cpus=[0]) if use_realtime else {}
    bus = velkarin.SocketCanTransport("vcan0")
    group = velkarin_group.MotorGroup(
        [(bus, velkarin.Damiao(i, 0x10 + i, timeout_ms=5)) for i in range(1, MOTORS + 1)], fd=True)
    setpoints = [velkarin.MitSetpoint(kp=5.0, kd=0.5)] * MOTORS
    ticker = velkarin_group.Ticker(1000.0)
    for _ in range(int(seconds * 1000)):
        try:
            group.mit_control(setpoints)
        except velkarin_group.GroupError:
            pass
        ticker.wait()
    t = ticker.stats()
    answered = sum(m.answered for m in group.stats())
    return {"realtime": applied, "ticks": t.waits, "missed": t.overruns, "lateness_p50_s": t.lateness_p50_s,
            "lateness_p99_s": t.lateness_p99_s, "lateness_max_s": t.lateness_max_s,
            "replies": answered}


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=5.0)
    p.add_argument("--one", choices=["plain", "realtime"], help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.one:
        print(json.dumps(loop(a.seconds, a.one == "realtime")))
        return 0
    sim = shutil.which("velkarin-sim") or str(Path(sys.executable).parent / "velkarin-sim")
    motors = [w for i in range(1, MOTORS + 1) for w in ("--motor", f"{i}:{0x10 + i:#x}:DM4310")]
    simulator = subprocess.Popen([sim, "--iface", "vcan0", "--bitrate", "1000000", "--dbitrate", "5000000",
                                  *motors], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    busy = None
    try:
        assert simulator.stdout is not None and "ready" in simulator.stdout.readline()
        busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        for run in ("plain", "realtime"):
            done = subprocess.run([sys.executable, __file__, "--seconds", str(a.seconds), "--one", run],
                                  capture_output=True, text=True, env=dict(os.environ), timeout=600)
            print(done.stdout.strip() or done.stderr.strip(), flush=True)
    finally:
        for proc in (busy, simulator):
            if proc is not None:
                proc.kill()
                proc.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
