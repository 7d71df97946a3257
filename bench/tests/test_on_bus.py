"""The benchmark's native helpers on a real virtual bus: the in-process responder answers its
motor and only its motor, the floor really completes one exchange per command, the C++
cycle contenders complete one six-motor cycle per iteration against velkarin-sim, and the wire
limits' bit counts are those can-utils' canbusload counts on the bus."""

from __future__ import annotations

import json
import shutil
import subprocess
import time

import can
import pytest
import velkarin

import bench
import worker
from python_can_client import DamiaoMotor


@pytest.fixture
def responder(native, vcan0):
    r = worker.InprocResponder(str(native / "libinproc_responder.so"))
    with r.serving(vcan0, 1, 0x11) as answered:
        yield answered
    # The count is only there once the thread has stopped.


@pytest.mark.parametrize("deadline", [False, True])
def test_floor_completes_one_exchange_per_command(native, vcan0, deadline):
    cmd = [str(native / "floor"), "--iface", vcan0, "--payload", "7fff7ff0000007ff",
           "--iterations", "40", "--warmup", "5", "--stamps",
           "--responder", str(native / "libinproc_responder.so")]
    out = subprocess.run(cmd + (["--deadline"] if deadline else []), capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    r = json.loads(out.stdout)
    assert r["iterations"] == 40 and r["answered"] == 45
    assert len(r["lat_ns"]) == 40 and min(r["lat_ns"]) > 0
    assert sum(r["lat_ns"]) <= r["wall_ns"]
    assert 0 <= r["cpu_ns"] <= r["wall_ns"] + 10_000_000  # tick-sampled: one tick of slack


def test_floor_without_a_motor_gives_up(native, vcan0):
    out = subprocess.run([str(native / "floor"), "--iface", vcan0, "--payload", "00" * 8,
                          "--iterations", "1", "--warmup", "0"],
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 1 and "no reply" in out.stderr


@pytest.mark.parametrize(
    "setpoint",
    [
        velkarin.ControlSetpoint.mit(velkarin.MitSetpoint()),
        velkarin.ControlSetpoint.pos_vel(1.0, 2.0),
        velkarin.ControlSetpoint.vel(2.0),
        velkarin.ControlSetpoint.force_pos(1.0, 2.0, 0.5),
    ],
    ids=lambda s: repr(s)[:30],
)
def test_responder_answers_every_control_mode_id(vcan0, responder, setpoint):
    bus = velkarin.SocketCanTransport(vcan0)
    state = velkarin.Damiao(1, 0x11, timeout_ms=500).control(bus, setpoint)
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (1, 1, 30, 40)


def test_responder_ignores_other_motors(vcan0, responder):
    bus = velkarin.SocketCanTransport(vcan0)
    with pytest.raises(RuntimeError, match="timeout"):
        velkarin.Damiao(2, 0x11, timeout_ms=50).enable(bus)
    velkarin.Damiao(1, 0x11, timeout_ms=500).enable(bus)


def test_responder_counts_what_it_answered(native, vcan0):
    r = worker.InprocResponder(str(native / "libinproc_responder.so"))
    with r.serving(vcan0, 1, 0x11) as answered:
        res = worker.run("velkarin mit_control", vcan0, worker.Motor(1, 0x11), 20, 3, True)
    assert answered == [23]
    assert res["iterations"] == 20 and len(res["lat_ns"]) == 20 and min(res["lat_ns"]) > 0


def test_python_can_client_reads_the_responders_feedback(vcan0, responder):
    bus = can.Bus(interface="socketcan", channel=vcan0)
    try:
        fb = DamiaoMotor(bus, 1, 0x11, timeout=0.5).mit_control(*worker.SETPOINT)
    finally:
        bus.shutdown()
    assert (fb.motor_id, fb.error, fb.t_mos, fb.t_rotor) == (1, 1, 30, 40)
    assert fb.position == pytest.approx(-0.00019, abs=1e-4)


def test_responder_library_reports_a_missing_interface(native):
    r = worker.InprocResponder(str(native / "libinproc_responder.so"))
    with pytest.raises(RuntimeError, match="nosuchcan"):
        with r.serving("nosuchcan", 1, 0x11):
            pass


def cycle_cmd(native, mode: str, iterations: int) -> list[str]:
    return [str(native / "cpp" / "cycle"), "--iface", "vcan0", "--mode", mode,
            "--setpoint", "0.5,0,20,0.5,0", "--iterations", str(iterations), "--warmup", "2",
            "--timeout-ms", "200", "--stamps"]


@pytest.mark.parametrize("mode", ["sequential", "batched"])
def test_cycle_program_commands_all_six_motors_each_cycle(native, vcan0, mode):
    sim = shutil.which("velkarin-sim")
    assert sim, "velkarin-sim is not on PATH"
    with bench.simulator(sim, vcan0, [(m, "mit") for m in worker.SIX]):
        out = subprocess.run(cycle_cmd(native, mode, 30), capture_output=True, text=True,
                             timeout=60)
    assert out.returncode == 0, out.stderr
    r = json.loads(out.stdout)
    assert (r["iterations"], r["motors"]) == (30, 6)
    assert len(r["lat_ns"]) == 30 and min(r["lat_ns"]) > 0
    assert sum(r["lat_ns"]) <= r["wall_ns"]



@pytest.mark.skipif(shutil.which("canbusload") is None, reason="needs can-utils (bench/run installs it)")
def test_wire_bits_counts_classic_frames_as_canbusload_does(native, vcan0):
    frames = ["001#7FFF7FF0000007FF", "011#117FFF7FF7FF1E28", "000#0000000000000000", "7FF#",
              "555#5555555555555555", "123#DEADBEEF", "01ABCDEF#0102030405060708"]
    ours = subprocess.run([str(native / "cpp" / "wire_bits"), "--bitrate", "1000000"],
                          input="\n".join(frames), capture_output=True, text=True, timeout=30)
    assert ours.returncode == 0, ours.stderr
    # canbusload -e prints, once a second, the exact bits (stuff bits included) it saw.
    load = subprocess.Popen(["stdbuf", "-oL", "canbusload", "-e", f"{vcan0}@1000000"],
                            stdout=subprocess.PIPE, text=True)
    try:
        time.sleep(1.5)
        for f in frames:
            subprocess.run(["cansend", vcan0, f], check=True, timeout=10)
        time.sleep(2.5)
    finally:
        load.terminate()
        seen = load.communicate(timeout=10)[0]
    lines = [line.split() for line in seen.splitlines() if line.strip().startswith(f"{vcan0}@")]
    assert sum(int(w[1]) for w in lines) == len(frames)
    assert sum(int(w[2]) for w in lines) == json.loads(ours.stdout)["bits"]
