"""A helper process for the bus tests that takes one JSON request a line on its stdin and gives
one JSON answer a line on its stdout; every read is bounded, and closing it kills what lingers."""

from __future__ import annotations

import contextlib
import json
import os
import select
import subprocess
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any


class JsonChild:
    """Runs `script` (a file of this directory, with this directory on its import path) under
    this interpreter with `args`, and waits up to `start_wait` seconds for its {"ready": true}.
    Failures raise `error` with texts naming the process `name`."""

    def __init__(
        self,
        script: str | Path,
        args: Sequence[str],
        *,
        start_wait: float,
        name: str = "child process",
        error: type[Exception] = RuntimeError,
    ) -> None:
        here = Path(script).resolve()
        self._name = name
        self._error = error
        self._buf = b""
        self._proc = subprocess.Popen(
            [sys.executable, "-S", str(here), *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            close_fds=True,
            env={**os.environ, "PYTHONPATH": str(here.parent)},
        )
        try:
            hello = self.read(start_wait)
            if not hello.get("ready"):
                raise error(f"{name} did not start: {hello}")
        except BaseException:
            self.close()
            raise

    def read(self, wait: float) -> dict[str, Any]:
        """The next answer, waiting at most `wait` seconds for it."""
        assert self._proc.stdout is not None
        fd = self._proc.stdout.fileno()
        deadline = time.monotonic() + wait
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise self._error(f"{self._name} did not answer in time")
            if select.select([fd], [], [], left)[0]:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    raise self._error(f"{self._name} exited (status {self._proc.poll()})")
                self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return json.loads(line)

    def request(self, wait: float, **message: Any) -> dict[str, Any]:
        """Sends `message` and returns the answer, waiting at most `wait` seconds for it."""
        assert self._proc.stdin is not None
        self._proc.stdin.write(json.dumps(message).encode() + b"\n")
        self._proc.stdin.flush()
        return self.read(wait)

    def close(self) -> None:
        """Closes the process's stdin, which ends it; kills it if it has not gone in 2 s."""
        proc = self._proc
        with contextlib.suppress(OSError):
            if proc.stdin is not None:
                proc.stdin.close()
        try:
            proc.wait(timeout=2.0)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=5.0)
        if proc.stdout is not None:
            proc.stdout.close()
