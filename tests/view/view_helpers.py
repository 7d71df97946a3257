"""Helpers of velkarin-view's tests: the view as a child process (`python -m velkarin_view` of
the environment under test) and a client of its sockets that stands in for a page."""

from __future__ import annotations

import asyncio
import json
import select
import subprocess
import sys
import time
from typing import Any

import sim

READY_WAIT = 120.0  # the view prints its ready line in seconds; a loaded guest is slow
STOP_WAIT = 10.0


class View:
    """One running velkarin-view; `url` is what its ready line names (with the token, if any)."""

    def __init__(self, *args: str) -> None:
        self.proc = subprocess.Popen([sys.executable, "-m", "velkarin_view", "--port", "0", *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + READY_WAIT
        assert self.proc.stdout is not None
        while select.select([self.proc.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]:
            line = self.proc.stdout.readline()
            if not line:
                break
            if line.startswith("velkarin-view ready: "):
                self.url = line.split(": ", 1)[1].strip()
                self.base = self.url.split("?")[0]
                return
        self.proc.kill()
        _, err = self.proc.communicate()
        raise AssertionError(f"velkarin-view {' '.join(args)} did not get ready: {err.strip()}")

    def stop(self) -> int:
        sim.terminate(self.proc, STOP_WAIT)
        self.proc.communicate()
        return self.proc.returncode


class Client:
    """A page without a browser: /ws and /stop, with the heartbeat a page sends."""

    def __init__(self, url: str, *, alive: bool = True) -> None:
        self.url, self.base, self.alive = url, url.split("?")[0], alive

    async def __aenter__(self) -> Client:
        import aiohttp

        self.http = aiohttp.ClientSession()
        self.ws = await self.http.ws_connect(self.base + "ws")
        self.stop_ws = await self.http.ws_connect(self.base + "stop")
        self.heart = asyncio.create_task(self._beat())
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.heart.cancel()
        await asyncio.gather(self.heart, return_exceptions=True)
        await self.ws.close()
        await self.stop_ws.close()
        await self.http.close()

    async def _beat(self) -> None:
        while self.alive:
            await self.stop_ws.send_str(json.dumps({"type": "alive"}))
            await asyncio.sleep(0.25)

    async def send(self, message: dict[str, Any]) -> None:
        await self.ws.send_str(json.dumps(message))

    async def wait(self, kind: str | tuple[str, ...], until: Any = None, bound_s: float = 60.0) -> dict[str, Any]:
        """The first message of type `kind` (or one of the types) for which `until(message)` holds."""
        kinds = (kind,) if isinstance(kind, str) else kind
        async with asyncio.timeout(bound_s):
            while True:
                m = json.loads((await self.ws.receive()).data)
                if m["type"] in kinds and (until is None or until(m)):
                    return m
