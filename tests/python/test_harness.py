"""Tests of the bus harness: inside tools/vcan-run, that vcan0 and vcan1 carry classic and FD
frames; on the host, that vcan-run passes through status, cwd, environment and output and keeps
its time bound."""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

import canframes
from canframes import Frame

ROOT = Path(__file__).resolve().parents[2]
VCAN_RUN = ROOT / "tools" / "vcan-run"
IFF_UP = 0x1


def inside_uml() -> bool:
    try:
        return "User Mode Linux" in Path("/proc/cpuinfo").read_text()
    except OSError:
        return False


def harness_free_env(**extra: str) -> dict[str, str]:
    """This process's environment without the harness's own settings, plus `extra`."""
    env = {
        k: v for k, v in os.environ.items()
        if k != "VELKARIN_REQUIRE_BUS" and not k.startswith("VCAN_RUN_")
    }
    env.update(extra)
    return env


# ------------------------------------------------------------------------------------------
# On the bus, inside the harness.

bus = pytest.mark.requires_bus


@bus
@pytest.mark.parametrize("iface", ["vcan0", "vcan1"])
def test_interface_is_up_with_the_can_fd_mtu(iface):
    sysfs = Path("/sys/class/net") / iface
    assert (sysfs / "mtu").read_text().strip() == str(canframes.CANFD_MTU)
    assert int((sysfs / "flags").read_text(), 16) & IFF_UP


@bus
def test_harness_tells_tests_the_bus_is_required():
    assert os.environ.get("VELKARIN_REQUIRE_BUS") == "1"


FRAMES = [
    pytest.param(
        canframes.pack_classic(0x123, bytes.fromhex("0102030405060708")),
        Frame(0x123, bytes.fromhex("0102030405060708"), length=8),
        id="classic-standard-8-bytes",
    ),
    pytest.param(
        canframes.pack_classic(0x1ABCDE01, b"\xaa\x55", extended=True),
        Frame(0x1ABCDE01, b"\xaa\x55", extended=True, length=2),
        id="classic-extended",
    ),
    pytest.param(
        canframes.pack_classic(0x7FF, b""),
        Frame(0x7FF, b"", length=0),
        id="classic-empty-highest-standard-id",
    ),
    pytest.param(
        canframes.pack_classic(0x42, remote=True, length=4),
        Frame(0x42, b"", remote=True, length=4),
        id="remote-request-4-bytes",
    ),
    pytest.param(
        canframes.pack_fd(0x10, bytes(range(12)), brs=True),
        Frame(0x10, bytes(range(12)), fd=True, fd_flags=canframes.CANFD_BRS, length=12),
        id="fd-12-bytes-bit-rate-switch",
    ),
    pytest.param(
        canframes.pack_fd(0x1FFFFFFF, bytes(range(100, 164)), extended=True),
        Frame(0x1FFFFFFF, bytes(range(100, 164)), extended=True, fd=True, length=64),
        id="fd-64-bytes-extended",
    ),
]


@bus
@pytest.mark.parametrize("raw, expected", FRAMES)
def test_frame_sent_on_one_socket_reaches_another_on_the_same_bus(raw_peer, vcan, raw, expected):
    with canframes.open_raw_socket(vcan) as rx:
        assert raw_peer.send(raw) == len(raw)
        got = rx.recv(canframes.CANFD_MTU)
    assert len(got) == len(raw)
    frame = canframes.unpack(got)
    # Kernels from 6.x on may mark FD frames with CANFD_FDF; that says nothing new here.
    frame = Frame(**{**frame.__dict__, "fd_flags": frame.fd_flags & ~canframes.CANFD_FDF})
    assert frame == expected
    if not expected.fd:
        assert got == raw


@bus
def test_frames_stay_on_their_own_interface(raw_peer, vcan, vcan1):
    with canframes.open_raw_socket(vcan, timeout=2.0) as same, canframes.open_raw_socket(
        vcan1, timeout=0.3
    ) as other:
        raw_peer.send(canframes.pack_classic(0x321, b"\x01"))
        assert canframes.recv_frame(same) == Frame(0x321, b"\x01", length=1)
        with pytest.raises(TimeoutError):
            other.recv(canframes.CANFD_MTU)


# The host path of vcan-run, tried in a fresh network namespace of the guest: there it has to
# create vcan0/vcan1 itself and delete them afterwards.
HOST_PATH_SCRIPT = """
"$0" sh -c 'ip -o link show; exit 7'
echo "status=$?"
echo "after:"
ip -o link show
"""


@bus
@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None, reason="needs root and unshare")
def test_host_backend_creates_the_interfaces_and_removes_them(tmp_path):
    env = harness_free_env(VCAN_RUN_BACKEND="host")
    proc = subprocess.run(
        ["unshare", "-n", "sh", "-c", HOST_PATH_SCRIPT, str(VCAN_RUN)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60,
    )
    assert "vcan-run: backend: host" in proc.stderr
    during, _, after = proc.stdout.partition("status=7\nafter:\n")
    assert after, proc.stdout + proc.stderr
    for iface in ("vcan0", "vcan1"):
        line = next(line for line in during.splitlines() if f": {iface}:" in line)
        assert " mtu 72 " in line and ",UP," in line
        assert iface not in after


@bus
@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None, reason="needs root and unshare")
def test_host_backend_keeps_the_time_bound(tmp_path):
    env = harness_free_env(VCAN_RUN_BACKEND="host", VCAN_RUN_TIMEOUT="1")
    proc = subprocess.run(
        ["unshare", "-n", str(VCAN_RUN), "sleep", "30"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 124
    assert "time bound of 1 s" in proc.stderr and "VCAN_RUN_TIMEOUT" in proc.stderr


# ------------------------------------------------------------------------------------------
# vcan-run itself, from the host. Each of these boots a guest (a few seconds), so they are few,
# and they never run inside the harness, where they would nest.

harness_host = pytest.mark.harness_host
needs_host = pytest.mark.skipif(
    os.environ.get("VELKARIN_REQUIRE_BUS") == "1" or inside_uml(), reason="runs tools/vcan-run itself: host only"
)


def run_vcan(args, cwd, *, env_extra=None, timeout=180):
    env = harness_free_env(**(env_extra or {}))
    return subprocess.run(
        [str(VCAN_RUN), *args], cwd=cwd, env=env, capture_output=True, timeout=timeout
    )


@pytest.fixture
def run_dirs(tmp_path):
    """A working directory with a space in its name and an empty TMPDIR to check clean-up."""
    cwd = tmp_path / "work dir"
    tmp = tmp_path / "tmp"
    cwd.mkdir()
    tmp.mkdir()
    return cwd, tmp


REPORT = r"""
import json, os, sys
sys.stderr.write("to stderr\n")
print(json.dumps({"cwd": os.getcwd(), "value": os.environ.get("VCAN_TEST_VALUE"),
                  "require": os.environ.get("VELKARIN_REQUIRE_BUS"),
                  "buses": sorted(os.listdir("/sys/class/net"))}))
sys.exit(42)
"""
ODD_VALUE = "two\nlines 'single' \"double\" $HOME `date` \\ ünïcode ;|&"


@harness_host
@needs_host
def test_command_gets_cwd_environment_and_bus_and_passes_back_output_and_status(run_dirs):
    cwd, tmp = run_dirs
    proc = run_vcan(
        [sys.executable, "-c", REPORT], cwd,
        env_extra={"VCAN_TEST_VALUE": ODD_VALUE, "TMPDIR": str(tmp)},
    )
    assert proc.returncode == 42, proc.stderr.decode()
    report = json.loads(proc.stdout)  # nothing but the command's own line on stdout
    buses = report.pop("buses")
    assert report == {"cwd": str(cwd), "value": ODD_VALUE, "require": "1"}
    assert {"vcan0", "vcan1"} <= set(buses)
    err = proc.stderr.decode()
    assert err.count("vcan-run: backend: ") == 1
    assert "to stderr\n" in err
    assert list(tmp.iterdir()) == []


@harness_host
@needs_host
def test_large_output_arrives_whole_and_unchanged(run_dirs):
    cwd, tmp = run_dirs
    script = (
        "import sys\n"
        "for i in range(20000): sys.stdout.write(f'out {i:08d}\\n')\n"
        "sys.stdout.flush()\n"
        "for i in range(10000): sys.stderr.write(f'err {i:08d}\\n')\n"
    )
    proc = run_vcan([sys.executable, "-c", script], cwd, env_extra={"TMPDIR": str(tmp)})
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == "".join(f"out {i:08d}\n" for i in range(20000)).encode()
    err_lines = [line for line in proc.stderr.split(b"\n") if line.startswith(b"err ")]
    assert err_lines == [f"err {i:08d}".encode() for i in range(10000)]
    assert b"\r" not in proc.stderr


@harness_host
@needs_host
@pytest.mark.parametrize(
    "args, status, message",
    [
        (["sh", "-c", "kill -KILL $$"], 128 + 9, ""),
        (["no-such-command-for-vcan-run"], 127, "no-such-command-for-vcan-run: command not found"),
    ],
    ids=["killed-by-signal", "missing-command"],
)
def test_exit_status_of_the_command_is_passed_through(run_dirs, args, status, message):
    cwd, _ = run_dirs
    proc = run_vcan(args, cwd)
    assert proc.returncode == status, proc.stderr.decode()
    assert message in proc.stderr.decode()


@harness_host
@needs_host
def test_time_bound_ends_a_hung_run_with_124_and_says_how_to_change_it(run_dirs):
    cwd, tmp = run_dirs
    start = time.monotonic()
    proc = run_vcan(["sleep", "60"], cwd, env_extra={"VCAN_RUN_TIMEOUT": "5", "TMPDIR": str(tmp)})
    elapsed = time.monotonic() - start
    assert proc.returncode == 124
    err = proc.stderr.decode()
    assert "time bound of 5 s" in err and "VCAN_RUN_TIMEOUT" in err
    assert elapsed < 40  # a generous sanity bound, far below the 60 s the command wanted
    assert list(tmp.iterdir()) == []


@harness_host
@needs_host
@pytest.mark.parametrize(
    "args, env, status, message",
    [
        ([], {}, 2, "usage: vcan-run CMD"),
        (["true"], {"VCAN_RUN_TIMEOUT": "soon"}, 1, "VCAN_RUN_TIMEOUT must be a whole number"),
        (["true"], {"VCAN_RUN_TIMEOUT": "0"}, 1, "VCAN_RUN_TIMEOUT must be a whole number"),
        (["true"], {"VCAN_RUN_BACKEND": "docker"}, 1, "VCAN_RUN_BACKEND must be host, user-mode-linux or qemu"),
    ],
    ids=["no-command", "timeout-not-a-number", "timeout-zero", "unknown-backend"],
)
def test_bad_invocations_are_refused_before_anything_starts(tmp_path, args, env, status, message):
    proc = run_vcan(args, tmp_path, env_extra=env, timeout=30)
    assert proc.returncode == status
    assert message in proc.stderr.decode()
    assert "backend:" not in proc.stderr.decode()


@harness_host
@needs_host
@pytest.mark.skipif(
    not list(Path("/usr/lib/uml/modules").glob("*/kernel/drivers/net/can/vcan.ko")),
    reason="needs the user-mode-linux modules",
)
@pytest.mark.parametrize(
    "env, expected",
    [
        ({"VCAN_RUN_BACKEND": "user-mode-linux"}, ["user-mode-linux did not start"]),
        (
            {"VCAN_RUN_QEMU": "/nonexistent/qemu-system-x86_64"},
            [
                "user-mode-linux did not start",
                "falling back to qemu",
                "install the Debian packages user-mode-linux (preferred), "
                "or qemu-system-x86 and linux-image-amd64",
            ],
        ),
    ],
    ids=["forced-user-mode-linux", "fallback-without-qemu"],
)
def test_a_kernel_that_dies_before_the_guest_starts_is_reported(tmp_path, env, expected):
    if "VCAN_RUN_BACKEND" not in env and Path("/sys/class/net/vcan0").exists():
        pytest.skip("this host has vcan0, so vcan-run would not boot a guest")
    fake = tmp_path / "bin"
    fake.mkdir()
    kernel = fake / "linux.uml"
    kernel.write_text("#!/bin/sh\necho 'fake kernel: no ptrace here' >&2\nexit 1\n")
    kernel.chmod(0o755)
    proc = run_vcan(
        ["true"], tmp_path, env_extra={"PATH": f"{fake}:{os.environ['PATH']}", **env}, timeout=60
    )
    err = proc.stderr.decode()
    assert proc.returncode == 1
    assert "fake kernel: no ptrace here" in err
    for text in expected:
        assert text in err


def readme_command(section: str) -> str:
    """The first tools/vcan-run command of a README section, as the reader copies it."""
    text = (ROOT / "README.md").read_text()
    body = text[text.index(f"\n## {section}\n"):]
    body = body[:body.find("\n## ", 1)]
    start = body.index("```sh\ntools/vcan-run ") + len("```sh\n")
    return body[start:body.index("```", start)]


@harness_host
@needs_host
@pytest.mark.skipif(not (ROOT / ".venv" / "bin" / "velkarin-sim").exists(), reason="needs .venv")
@pytest.mark.parametrize(
    ("section", "says", "output"),
    [("The virtual motor", "tracking error", "file"), ("Many motors: `velkarin_group`", "rounds/s", "pipe")],
)
def test_a_readme_command_with_the_simulator_ends_when_its_program_ends(tmp_path, section, says, output):
    log = tmp_path / "output"
    started = time.monotonic()
    with log.open("w") as file:
        # A file is no terminal and no pipe: nothing there keeps the run alive. A pipe ends only
        # when every process that could still write to it has gone, simulators included.
        out = file if output == "file" else subprocess.PIPE
        done = subprocess.run(["bash", "-c", readme_command(section)], cwd=ROOT,
                              env=harness_free_env(VCAN_RUN_TIMEOUT="240"), stdout=out,
                              stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=300)
    text = log.read_text() if output == "file" else done.stdout.decode()
    assert done.returncode == 0, text
    assert time.monotonic() - started < 120
    assert says in text


GUEST_SERVER = r"""
import socket, sys
server = socket.create_server(("10.77.0.2", 8765))
open(sys.argv[1], "w").write("listening")
peer, _ = server.accept()
peer.sendall(b"from the guest")
peer.close()
"""


@harness_host
@needs_host
@pytest.mark.skipif(os.geteuid() != 0 or not Path("/dev/net/tun").exists(), reason="needs root and /dev/net/tun")
def test_with_vcan_run_net_the_host_reaches_a_server_in_the_guest_and_the_link_goes_after(tmp_path):
    ready = tmp_path / "ready"
    proc = subprocess.Popen([str(VCAN_RUN), sys.executable, "-c", GUEST_SERVER, str(ready)],
                            env=harness_free_env(VCAN_RUN_NET="1", VCAN_RUN_BACKEND="user-mode-linux"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while not ready.exists():
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read().decode()
            time.sleep(0.1)
        with socket.create_connection(("10.77.0.2", 8765), timeout=30) as conn:
            assert conn.recv(64) == b"from the guest"
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, err.decode()
    tap = f"vcanrun{proc.pid}"
    assert f"this host 10.77.0.1 ({tap})" in err.decode()
    assert tap not in subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
