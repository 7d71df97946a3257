"""velkarin-sim, the virtual Damiao motor, as a child process for tests: finding the binary,
starting it on a CAN interface, its stdin commands and a clean SIGTERM stop."""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Iterable
from pathlib import Path

READY_WAIT = 10.0  # seconds to wait for the ready line (it starts in well under one)
ANSWER_WAIT = 5.0  # seconds to wait for the answer to a stdin command
STOP_WAIT = 5.0  # seconds to wait for the exit after SIGTERM

EXE_NAME = "velkarin-sim"
ENV_VAR = "VELKARIN_SIM"


def _executable(path: Path) -> bool:
    return path.is_file() and os.access(path, os.X_OK)


def find_sim() -> str | None:
    """The simulator to run: the one on PATH, else the one installed beside this interpreter
    (a virtual environment's bin, which a harness need not put on PATH), else $VELKARIN_SIM."""
    found = shutil.which(EXE_NAME)
    if found is not None:
        return found
    # Not resolved: a venv's python is a link into the base interpreter's directory.
    beside = Path(sys.executable).parent / EXE_NAME
    if _executable(beside):
        return str(beside)
    named = os.environ.get(ENV_VAR)
    if named:
        if not _executable(Path(named)):
            raise FileNotFoundError(f"{ENV_VAR}={named} is not an executable file")
        return named
    return None


class SimError(AssertionError):
    """The simulator misbehaved: it exited, did not answer in time, or refused a command."""


class Sim:
    """One running velkarin-sim. `motors` are --motor arguments ("1:0x11:DM4310[:mode]"),
    `options` further command-line words ("--drop", "0.5", ...)."""

    def __init__(self, exe: str, iface: str, motors: Iterable[str], options: Iterable[str] = ()):
        self.argv = [exe, "--iface", iface]
        for motor in motors:
            self.argv += ["--motor", motor]
        self.argv += list(options)
        self._buffer = b""
        self.proc = subprocess.Popen(
            self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        try:
            line = self._line(READY_WAIT, "its ready line")
            if not line.startswith(f"velkarin-sim ready on {iface}: "):
                raise SimError(f"{self._who()} printed {line!r} instead of its ready line")
        except BaseException:
            self._kill()
            raise

    def _who(self) -> str:
        return " ".join(self.argv[1:])

    def _kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()

    def _line(self, wait: float, what: str) -> str:
        """The next line of stdout, waiting at most `wait` seconds for it."""
        assert self.proc.stdout is not None
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + wait
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            ready = select.select([fd], [], [], max(left, 0.0))[0] if left > 0 else []
            if not ready:
                raise SimError(f"{self._who()}: no {what} within {wait} s")
            chunk = os.read(fd, 4096)
            if not chunk:
                self.proc.wait(STOP_WAIT)
                err = self.proc.stderr.read().decode(errors="replace") if self.proc.stderr else ""
                raise SimError(
                    f"{self._who()} exited with {self.proc.returncode} before {what}: {err.strip()}"
                )
            self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line.decode()

    def command(self, text: str) -> list[str]:
        """Sends one stdin command and returns the lines printed before its "ok"; a command
        the simulator refuses ("error: ...") raises SimError."""
        assert self.proc.stdin is not None
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()
        lines = []
        while True:
            line = self._line(ANSWER_WAIT, f"answer to {text!r}")
            if line == "ok":
                return lines
            if line.startswith("error: "):
                raise SimError(f"{text!r} refused: {line}")
            lines.append(line)

    def stop(self) -> int:
        """SIGTERM, then the exit status (killed and -9 if it does not go in time)."""
        terminate(self.proc, STOP_WAIT)
        self._kill()
        return self.proc.returncode


def terminate(proc: subprocess.Popen, wait: float) -> int:
    """Ends a child as its user would: SIGTERM, `wait` seconds to go, then SIGKILL. Its status."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            return proc.wait(wait)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()
