"""velkarin-tool as the view's way to the motors' registers: the velkarin module offers no
register access beyond ensure_mit_mode, and the tool already reads, checks, writes, verifies
and stores them. Each call is one process with --json; its one-line error becomes ToolError."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

NAME = "velkarin-tool"
# A call reads at most every register of one motor (about 50 exchanges) or scans a bus: each
# exchange is bounded by --timeout-ms, so this bound only catches a tool that hangs.
CALL_BOUND_S = 30.0


class ToolError(RuntimeError):
    """The tool failed: its one-line message, and its exit status (1 the bus or the motor,
    2 a refused command line: nothing was sent)."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def find_tool() -> str:
    """The tool installed beside this interpreter (a virtual environment's bin, which need not
    be on PATH), else the one on PATH."""
    beside = Path(sys.executable).parent / NAME
    if beside.is_file() and os.access(beside, os.X_OK):
        return str(beside)
    found = shutil.which(NAME)
    if found is None:
        raise ToolError(f"{NAME} not found beside {sys.executable} or on PATH: pip install velkarin", 1)
    return found


class Tool:
    """Calls on one interface with the view's exchange bound and frame format."""

    def __init__(self, iface: str, *, timeout_ms: int, fd: bool, exe: str | None = None) -> None:
        self.iface = iface
        self.exe = exe or find_tool()
        self.base = [self.exe, "--iface", iface, "--timeout-ms", str(timeout_ms), "--json"]
        if fd:
            self.base.append("--fd")

    def call(self, *words: str) -> Any:
        """The tool's JSON document for `velkarin-tool ... WORDS`, or ToolError."""
        try:
            done = subprocess.run(self.base + list(words), capture_output=True, text=True,
                                  timeout=CALL_BOUND_S, check=False)
        except subprocess.TimeoutExpired:
            raise ToolError(f"{NAME} {' '.join(words)} did not end within {CALL_BOUND_S:g} s", 1) from None
        if done.returncode != 0:
            lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
            raise ToolError(lines[-1].removeprefix(f"{NAME}: "), done.returncode)
        return json.loads(done.stdout)


def register_listing(exe: str | None = None) -> str:
    """`velkarin-tool get --help`: the register table with access, kind and documented ranges."""
    done = subprocess.run([exe or find_tool(), "get", "--help"], capture_output=True, text=True,
                          timeout=CALL_BOUND_S, check=True)
    return done.stdout
