"""velkarin-tool against velkarin-sim on vcan0: every command with its exit status and JSON, scans
of two and of six motors, an id change that survives a restart through the simulator's flash,
conflicts that send nothing, a silent motor, interfaces that cannot serve, output that cannot be
written, monitor's every way to end, and a bus that takes no frames. The command line and the
rendering of results are tested without a bus in tests/tool/*.cpp."""

from __future__ import annotations

import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest

import canframes
import velkarin
from robust_util import queue_discipline

TOOL = shutil.which("velkarin-tool") or str(Path(sys.executable).parent / "velkarin-tool")
RUN_WAIT = 60.0  # seconds any one run may take; a scan of every id takes a few
M1 = "1:0x11:DM4310"
M2 = "2:0x12:DM4340:pos_vel"
STORE_1 = bytes.fromhex("0100AA0100000000")
DISABLE = bytes.fromhex("FFFFFFFFFFFFFFFD")
CSV_HEADER = "time,id,status,position,velocity,torque,t_mos,t_rotor"


def tool(*args: str, iface: str = "vcan0", **kwargs: Any) -> subprocess.CompletedProcess[str]:
    options: dict[str, Any] = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **kwargs}
    return subprocess.run([TOOL, "--iface", iface, *args], text=True, timeout=RUN_WAIT,
                          stdin=subprocess.DEVNULL, **options)


def start_tool(*args: str, iface: str = "vcan0") -> subprocess.Popen[str]:
    return subprocess.Popen([TOOL, "--iface", iface, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)


def csv_rows(path: Path, columns: int = 8) -> list[str]:
    """The rows after the header, every one of them complete."""
    lines = path.read_text().splitlines()
    assert lines[0] == CSV_HEADER
    assert all(len(row.split(",")) == columns for row in lines[1:]), lines
    return lines[1:]


def wait_for_rows(path: Path, per_id: dict[str, int]) -> None:
    """Waits until the CSV holds at least per_id[id] rows of each motor id (the second column)."""
    deadline = time.monotonic() + RUN_WAIT
    while time.monotonic() < deadline:
        if path.exists() and path.stat().st_size > 0:
            rows = path.read_text().splitlines()[1:]
            ids = [row.split(",")[1] for row in rows if "," in row]  # the last may be half written
            if all(ids.count(i) >= n for i, n in per_id.items()):
                return
        time.sleep(0.05)
    raise AssertionError(f"{path} never held {per_id} rows")


def tool_json(*args: str) -> Any:
    done = tool("--json", *args)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def failure(done: subprocess.CompletedProcess[str], status: int) -> str:
    """The one line a failed run prints on stderr (nothing on stdout)."""
    assert done.returncode == status, (done.stdout, done.stderr)
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("velkarin-tool: "), done.stderr
    return lines[0]


def frames_on(peer: socket.socket) -> list[canframes.Frame]:
    time.sleep(0.05)
    return canframes.drain(peer)


def scan_entry(can_id: int, master: int, mode: str, limits: velkarin.MitLimits,
               models: list[str]) -> dict[str, Any]:
    return {"id": can_id, "master_id": master, "mode": mode, "pmax": limits.p_max,
            "vmax": limits.v_max, "tmax": limits.t_max, "models": models, "sw_ver": 5013}


DM4310 = scan_entry(1, 0x11, "mit", velkarin.MitLimits.dm4310(), ["dm4310"])
DM4340 = scan_entry(2, 0x12, "pos_vel", velkarin.MitLimits.dm4340(), ["dm4340", "dm4340p"])
SIX = [f"{i}:{0x20 + i:#x}:DMG6215:{'vel' if i == 3 else 'mit'}" for i in range(0x10, 0x16)]


@pytest.mark.parametrize(
    ("motors", "args", "expected"),
    [
        pytest.param([M1, M2], [], [DM4310, DM4340], id="two-motors-every-id"),
        pytest.param(SIX, ["--ids", "0x08-0x40"],
                     [scan_entry(i, 0x20 + i, "vel" if i == 3 else "mit", velkarin.MitLimits.dmg6215(),
                                 ["dmg6215", "dmh6220"]) for i in range(0x10, 0x16)],
                     id="six-motors"),
    ],
)  # fmt: skip
def test_scan_lists_every_motor_with_its_ids_mode_limits_and_models(start_sim, motors, args,
                                                                    expected):
    start_sim(*motors)
    assert tool_json("scan", *args) == expected


def test_info_shows_every_register_the_state_and_the_limits_for_a_program(start_sim):
    start_sim("7:0x17:DM4340")
    info = tool_json("info", "7")
    assert (info["id"], info["master_id"], info["models"]) == (7, 0x17, ["dm4340", "dm4340p"])
    assert len(info["registers"]) == 45
    assert info["registers"]["ESC_ID"] == 7 and info["registers"]["PMAX"] == 12.5
    assert info["state"]["status_name"] == "disabled"
    assert info["limits"] == repr(velkarin.MitLimits(p_max=12.5, v_max=10, kp_max=500, kd_max=5,
                                                     t_max=28))


def test_the_special_commands_print_the_motors_answer(start_sim):
    start_sim(M1, options=("--fault", "overload"))
    statuses = [tool_json(c, "1")["status_name"] for c in ("enable", "clear", "enable", "zero")]
    assert statuses == ["overload", "disabled", "enabled", "enabled"]
    state = tool_json("disable", "1", "--master", "0x11")
    assert (state["status"], state["status_name"]) == (0, "disabled")
    assert abs(state["position"]) < 0.001  # zero, to one count of the 16-bit position


def test_save_disables_then_stores(start_sim, raw_peer):
    start_sim(M1)
    assert tool_json("save", "1") == {"saved": True}
    sent = [(f.can_id, f.data) for f in frames_on(raw_peer) if f.can_id in (0x001, 0x7FF)]
    assert sent[-2:] == [(0x001, DISABLE), (0x7FF, STORE_1)]


@pytest.mark.parametrize("args", [["set", "1", "sw_ver", "3"], ["monitor", "1", "1"]])
def test_a_wrong_command_line_exits_2_and_sends_nothing(start_sim, raw_peer, args):
    start_sim(M1)
    failure(tool(*args), 2)
    assert frames_on(raw_peer) == []


@pytest.mark.parametrize(
    ("args", "why"),
    [
        # The rule's every case is checked natively (test_id_conflict.cpp, test_verbs.cpp).
        (["ESC_ID", "0x712"], "motor 0x002 answers on 0x012, which would command this motor"),
        (["MST_ID", "0x102"], "motor 0x002 listens on 0x102"),
    ],
)
def test_an_id_conflict_exits_1_and_writes_nothing(start_sim, raw_peer, args, why):
    start_sim(M1, M2)
    assert why in failure(tool("set", "1", *args), 1)
    writes = [f for f in frames_on(raw_peer) if f.can_id == 0x7FF and f.data[2] == 0x55]
    assert writes == []


def test_an_id_change_saved_to_flash_survives_a_restart(start_sim, tmp_path):
    home, away = tmp_path / "home", tmp_path / "away"
    home.mkdir()
    flash = str(home / "flash")
    first = start_sim(M1, options=("--flash", flash))
    assert tool_json("set", "1", "MST_ID", "0x21") == {"MST_ID": 0x21}
    assert tool_json("set", "1", "ESC_ID", "5", "--save") == {"ESC_ID": 5}
    # The lock went over to the file the store put in place.
    second = subprocess.run(first.argv, capture_output=True, text=True, timeout=RUN_WAIT)
    assert second.returncode == 2
    assert second.stderr == f"velkarin-sim: {flash}: in use: another process holds its lock\n"
    # A store with its directory gone is one line on the simulator's stderr and is not kept.
    home.rename(away)
    assert tool_json("set", "5", "TIMEOUT", "2000", "--save") == {"TIMEOUT": 2000}
    # The tool does not wait for the store (motors are not known to answer one); a read answered
    # after it comes once the simulator has handled it.
    assert tool_json("get", "5", "TIMEOUT") == {"TIMEOUT": 2000}
    away.rename(home)
    assert select.select([first.proc.stderr], [], [], RUN_WAIT)[0]
    assert os.read(first.proc.stderr.fileno(), 4096).decode() == (
        f"velkarin-sim: cannot store the flash in {flash}: cannot create a file beside it: "
        "No such file or directory\n")
    assert first.stop() == 0
    start_sim(M1, options=("--flash", flash))
    got = tool_json("get", "5", "ESC_ID", "MST_ID", "TIMEOUT")
    assert got == {"ESC_ID": 5, "MST_ID": 0x21, "TIMEOUT": 0}
    assert "motor 0x001 did not answer" in failure(tool("get", "1", "MST_ID"), 1)


def test_a_motor_moved_to_can_fd_answers_fd_frames_once_stored_and_restarted(start_sim, raw_peer,
                                                                           tmp_path):
    flash = str(tmp_path / "flash")
    first = start_sim(M1, options=("--flash", flash))
    done = tool("--json", "set", "1", "can_br", "9", "--save")
    assert done.returncode == 0 and json.loads(done.stdout) == {"can_br": 9}
    steps = done.stderr
    assert "store it" not in steps  # --save stored it already
    for step in ("power-cycle", "type can bitrate 1000000 dbitrate 5000000 fd on", "--fd scan",
                 "10,000"):
        assert step in steps, steps
    assert first.stop() == 0
    start_sim(M1, options=("--flash", flash))
    frames_on(raw_peer)
    assert tool_json("--fd", "get", "1", "can_br") == {"can_br": 9}
    replies = [f for f in frames_on(raw_peer) if f.can_id == 0x11]
    assert replies and all(f.fd for f in replies)


@pytest.mark.parametrize(
    ("options", "args", "says"),
    [(("--silent",), ["get", "1", "PMAX"], "did not answer a read of MST_ID within 50 ms"),
     ((), ["enable", "1", "--master", "0x12"], "did not answer a read of PMAX within 50 ms")],
    ids=["silent-motor", "wrong-master-id"],
)  # fmt: skip
def test_a_motor_that_does_not_answer_exits_1_with_one_line_that_suggests_a_scan(start_sim, options, args, says):
    start_sim(M1, options=options)
    line = failure(tool(*args), 1)
    assert f"motor 0x001 {says}; check its CAN id and master id (velkarin-tool --iface vcan0 scan" in line


@pytest.mark.parametrize(
    ("iface", "says"),
    [("nosuch0", "there is no interface nosuch0"), ("lo", "lo is not a CAN interface")],
)
def test_an_interface_that_cannot_serve_exits_1_with_one_line(vcan, iface, says):
    line = failure(tool("scan", iface=iface), 1)
    assert says in line and ("ip link" in line)


def test_a_scan_or_doctor_that_finds_no_motor_exits_1(vcan1):
    assert "no motor answered on vcan1" in failure(tool("scan", "--ids", "1-0x40", iface="vcan1"), 1)
    done = tool("--json", "doctor", iface="vcan1")
    assert done.returncode == 1 and "no motor answered on vcan1" in done.stderr
    assert json.loads(done.stdout)["motors"] == []


@pytest.mark.parametrize(
    ("args", "names"),
    [
        (["info", "1"], "stdout"),
        (["monitor", "1", "--duration", "0.2"], "stdout"),
        (["monitor", "1", "--duration", "0.2", "--csv", "/dev/full"], "/dev/full"),
    ],
)
def test_output_that_cannot_be_written_exits_1_with_one_line(start_sim, args, names):
    start_sim(M1)
    with open("/dev/full", "w") as full:
        done = tool(*args, stdout=full, stderr=subprocess.PIPE)
    assert done.returncode == 1, done.stderr
    assert done.stderr == f"velkarin-tool: writing to {names} failed: No space left on device\n"


@pytest.mark.parametrize("stop", [None, signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_monitor_samples_every_motor_and_only_ever_refreshes(start_sim, raw_peer, tmp_path, stop):
    start_sim(M1, "2:0x12:DM4340")
    csv = tmp_path / "samples.csv"
    args = ["--json", "monitor", "1", "2", "--rate", "20", "--csv", str(csv)]
    proc = start_tool(*args, *(["--duration", "1"] if stop is None else []))
    wanted = 1 if stop is None else 10  # a second's samples depend on the machine's speed
    if stop is not None:
        wait_for_rows(csv, {"1": wanted, "2": wanted})
        proc.send_signal(stop)
    out, err = proc.communicate(timeout=RUN_WAIT)
    assert proc.returncode == 0, err
    summary = json.loads(out)
    assert [s["id"] for s in summary] == [1, 2]
    assert all(s["samples"] >= wanted for s in summary)
    assert len(csv_rows(csv)) == sum(s["samples"] for s in summary)
    assert {f.can_id for f in frames_on(raw_peer)} <= {0x7FF, 0x11, 0x12}  # requests, answers


@pytest.mark.parametrize("json_output", [False, True])
def test_monitor_ends_with_its_csv_complete_when_its_reader_goes(start_sim, tmp_path, json_output):
    start_sim(M1)
    csv = tmp_path / "samples.csv"
    proc = start_tool(*(["--json"] if json_output else []), "monitor", "1", "--csv", str(csv))
    time.sleep(0.5)
    assert proc.stdout is not None
    if not json_output:
        assert proc.stdout.readline().startswith("motor 0x001: ")
    proc.stdout.close()  # as `monitor ... | head -1` does
    assert proc.wait(timeout=5) == 0
    assert proc.stderr is not None and "stdout was closed, so monitor ended: motor 0x001" in proc.stderr.read()
    assert csv_rows(csv)
    proc.stderr.close()


def test_ctrl_c_while_the_motors_are_identified_exits_130(vcan1, tmp_path):
    csv = tmp_path / "samples.csv"
    proc = start_tool("--timeout-ms", "60000", "monitor", "1", "--csv", str(csv), iface="vcan1")
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=5)
    assert (proc.returncode, out, err) == (130, "", "velkarin-tool: interrupted\n")
    assert csv_rows(csv) == []


# A plugged interface holds every frame, as one that nobody acknowledges does, until the sending
# socket's buffer is full (local sockets still see them); with a limit it refuses the fifth frame
# (ENOBUFS), as a full transmit queue does.
@pytest.mark.parametrize("limit", [(), ("limit", "64")])
def test_a_scan_on_a_bus_that_takes_no_frames_ends_within_its_bound(vcan1, limit):
    with queue_discipline(vcan1, "plug", *limit):
        started = time.monotonic()
        line = failure(tool("scan", iface=vcan1), 1)
        assert time.monotonic() - started < 10.0
    assert "no node acknowledges the frames" in line


def test_monitor_on_a_bus_that_stops_taking_frames_ends_with_its_csv(start_sim, vcan, tmp_path):
    start_sim(M1)
    csv = tmp_path / "samples.csv"
    proc = start_tool("monitor", "1", "--duration", "30", "--csv", str(csv))
    time.sleep(1.0)
    with queue_discipline(vcan, "plug", "limit", "64"):
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 1 and "no node acknowledges the frames" in err
    assert out.startswith("motor 0x001: ")
    assert csv_rows(csv)


def test_ctrl_c_ends_monitor_promptly_on_a_bus_that_takes_no_frames(start_sim, vcan, tmp_path):
    start_sim(M1)
    csv = tmp_path / "samples.csv"
    proc = start_tool("--json", "monitor", "1", "--rate", "20", "--csv", str(csv))
    time.sleep(1.0)
    with queue_discipline(vcan, "plug"):
        time.sleep(1.0)
        stopped = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
        assert time.monotonic() - stopped < 1.0
    assert proc.returncode == 0, err
    [summary] = json.loads(out)
    assert len(csv_rows(csv)) == summary["samples"] > 0


def test_doctor_reports_what_would_make_a_program_fail(start_sim):
    start_sim("1:0x11:DM4310:pos_vel", "2:0x12:DM4310", options=("--fault", "mosfet-over-temperature"))
    tool_json("set", "2", "TIMEOUT", "100")
    report = tool_json("doctor")
    assert report["interface"]["name"] == "vcan0" and report["interface"]["up"] is True
    assert [m["id"] for m in report["motors"]] == [1, 2]
    found = {(f["id"], f["what"].split(":")[0].split(" is ")[0]) for f in report["findings"]}
    assert {(1, "control mode"), (1, "TIMEOUT"), (2, "TIMEOUT"), (1, "latched fault"),
            (1, "t_mos")} <= found
    assert all(f["fix"] for f in report["findings"])


@pytest.mark.parametrize(
    ("condition", "described"),
    [("no-ack", "no acknowledgement"), ("error-warning", "error-warning"), ("error-passive", "error-passive"),
     ("bus-off", "bus-off after too many errors"), ("restarted", "restarted after bus-off"),
     ("rx-overflow", "receive overflow")],
)  # fmt: skip
def test_doctor_and_monitor_name_the_conditions_the_bus_reported(start_sim, raw_peer, tmp_path, condition,
                                                                 described):
    s = start_sim(M1)
    doctor = start_tool("--json", "doctor", "--explain")
    while canframes.recv_frame(raw_peer).can_id != 0x7FF:  # it scans, so it listens
        pass
    s.command(f"bus {condition}")
    out, err = doctor.communicate(timeout=RUN_WAIT)
    findings = json.loads(out)["findings"]
    assert all(f["cause"] and f["fix"] for f in findings)
    assert any(f["what"] == f"vcan0 reported {described} (1 error frames)" for f in findings), findings

    monitor = start_tool("monitor", "1", "--csv", str(tmp_path / "samples.csv"))
    wait_for_rows(tmp_path / "samples.csv", {"1": 1})
    s.command(f"bus {condition}")
    monitor.send_signal(signal.SIGINT)
    out, err = monitor.communicate(timeout=RUN_WAIT)
    assert f"vcan0: 1 x {described}" in out
