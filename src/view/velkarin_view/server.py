"""The HTTP and WebSocket side (aiohttp): the page and its assets, /ws for samples, counts and the
page's commands, /stop for STOP and the page's heartbeat, /recording.csv.

/stop is a socket of its own so that a STOP never queues behind samples on /ws; its handler only
hands the request to the stopper's thread. Who may drive: on loopback anyone on this machine; with
--listen, only messages that carry the token printed at start. STOP needs no token: stopping is
always allowed. WebSockets from a page of another origin, and on loopback a Host header that
names another machine (a page that rebinds its name to 127.0.0.1), are refused: such a page
could otherwise drive the motors through the user's browser."""

from __future__ import annotations

import asyncio
import dataclasses
import hmac
import json
import sys
import time
import traceback
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, Protocol
from urllib.parse import urlsplit

from aiohttp import WSMsgType, web

from velkarin_view.display import Row, decimate
from velkarin_view.drive import status_name
from velkarin_view.messages import MAX_MESSAGE, Checker, Command, Refused
from velkarin_view.motors import MotorSpec
from velkarin_view.recording import Recorder
from velkarin_view.registers import Register
from velkarin_view.stopper import Pages, Stopper

STATIC = Path(__file__).resolve().parent / "static"
STREAM_EVERY_S = 0.05  # samples go to the pages in batches this often
STATS_EVERY_S = 0.5
STATUS_NAMES = {code: status_name(code) for code in range(16)}  # for the page's fault banner
QUEUE_PER_PAGE = 64  # messages waiting for a slow page; beyond that its oldest are dropped
LOOPBACK_NAMES = {"127.0.0.1", "localhost", "::1"}
NO_TOKEN = "this page may not drive: open the address with the token velkarin-view printed at start (?token=...)"


class Source(Protocol):
    """The drive loop or the watcher, as the server reads them."""

    stats: dict[str, Any]
    t0: float  # the monotonic clock's reading at time 0 of the rows

    def take_rows(self) -> list[list[Row]]: ...


@dataclasses.dataclass
class Settings:
    specs: Sequence[MotorSpec]
    watch: bool
    token: str | None  # None: no token needed (loopback)
    lost_after_s: float
    display_hz: float
    rate_hz: float
    registers: list[Register]
    start_commands: list[Command]  # run once a page that may drive says it is alive


class Page:
    """One connected page's /ws socket and its queue of outgoing messages."""

    def __init__(self, ws: web.WebSocketResponse) -> None:
        self.ws = ws
        self.queue: asyncio.Queue[str] = asyncio.Queue(QUEUE_PER_PAGE)
        self.sender = asyncio.create_task(self._send())

    def put(self, text: str) -> None:
        if self.queue.full():
            self.queue.get_nowait()
        self.queue.put_nowait(text)

    async def _send(self) -> None:
        while True:
            text = await self.queue.get()
            try:
                await self.ws.send_str(text)
            except ConnectionError:
                return


class ViewServer:
    def __init__(self, settings: Settings, source: Source, recorder: Recorder, *,
                 loop: Any = None, stopper: Stopper | None = None, pages: Pages | None = None) -> None:
        self.settings = settings
        self.source = source
        self.recorder = recorder
        self.drive = loop  # the DriveLoop in drive mode
        self.stopper = stopper
        self.pages = pages or Pages()
        self.open_pages: set[Page] = set()
        self.stop_sockets: set[web.WebSocketResponse] = set()
        self.checker = Checker([s.limits for s in settings.specs],  # type: ignore[misc]
                               loop.mode_of if loop is not None else lambda n: None,
                               settings.rate_hz, {r.variable: r for r in settings.registers})
        self._started = False  # the start commands ran
        self._tasks: set[asyncio.Task[Any]] = set()
        self.app = web.Application()
        self.app.router.add_get("/", self.index)
        self.app.router.add_get("/ws", self.data_socket)
        self.app.router.add_get("/stop", self.stop_socket)
        self.app.router.add_post("/stop", self.stop_post)
        self.app.router.add_get("/recording.csv", self.recording)
        self.app.router.add_static("/static/", STATIC)
        self.app.on_startup.append(self._on_startup)
        self.app.on_shutdown.append(self._on_shutdown)

    # ---- lifecycle -------------------------------------------------------------------------

    async def _on_startup(self, app: web.Application) -> None:
        self.aio = asyncio.get_running_loop()
        if self.drive is not None:
            self.drive.on_change = lambda: self.from_thread(self._control_state)
        if self.stopper is not None:
            self.stopper.report = lambda report: self.from_thread(lambda: self.broadcast(report))
        on_event: Callable[[int, str], None] = lambda motor, text: self.from_thread(
            lambda: self.broadcast({"type": "event", "motor": motor, "text": text}))
        if hasattr(self.source, "on_event"):
            self.source.on_event = on_event  # type: ignore[attr-defined]
        self._spawn(self._stream())

    async def _on_shutdown(self, app: web.Application) -> None:
        for task in list(self._tasks):
            task.cancel()
        for page in list(self.open_pages):
            page.sender.cancel()
            await page.ws.close()
        for ws in list(self.stop_sockets):
            await ws.close()

    def _spawn(self, coro: Any) -> None:
        task = asyncio.ensure_future(coro)
        self._tasks.add(task)
        task.add_done_callback(self._done)

    def _done(self, task: asyncio.Task[Any]) -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:  # a fault of the view itself
            traceback.print_exception(task.exception(), file=sys.stderr)

    def from_thread(self, fn: Callable[[], None]) -> None:
        self.aio.call_soon_threadsafe(fn)

    def broadcast(self, message: dict[str, Any] | str) -> None:
        text = message if isinstance(message, str) else json.dumps(message)
        for page in self.open_pages:
            page.put(text)

    def _control_state(self) -> None:
        if self.drive is not None:
            self.broadcast({"type": "control", "motors": self.drive.control_state()})

    async def _stream(self) -> None:
        bucket_s = 1.0 / self.settings.display_hz
        next_stats = 0.0
        while True:
            await asyncio.sleep(STREAM_EVERY_S)
            rows = self.source.take_rows()
            if any(rows) and self.open_pages:
                self.broadcast({"type": "samples", "motors": [decimate(r, bucket_s) for r in rows]})
            now = self.aio.time()
            if now >= next_stats:
                next_stats = now + STATS_EVERY_S
                self.broadcast({"type": "stats", **self.source.stats, "recording": self.recorder.summary(),
                                "pages": len(self.open_pages)})

    # ---- who may drive -----------------------------------------------------------------------

    def may_drive(self, message: dict[str, Any]) -> bool:
        if self.settings.watch:
            return False
        token = self.settings.token
        return token is None or hmac.compare_digest(str(message.get("token", "")), token)

    def same_origin(self, request: web.Request) -> bool:
        host = request.host
        if self.settings.token is None and urlsplit("//" + host).hostname not in LOOPBACK_NAMES:
            return False
        origin = request.headers.get("Origin")
        return origin is None or urlsplit(origin).netloc == host

    # ---- routes ------------------------------------------------------------------------------

    async def index(self, request: web.Request) -> web.StreamResponse:
        return web.FileResponse(STATIC / "index.html")

    async def recording(self, request: web.Request) -> web.StreamResponse:
        return web.Response(text=self.recorder.csv(), content_type="text/csv",
                            headers={"Content-Disposition": 'attachment; filename="velkarin-recording.csv"'})

    async def stop_post(self, request: web.Request) -> web.StreamResponse:
        if self.stopper is None:
            raise web.HTTPConflict(text="watch mode: there is nothing to stop")
        self.stopper.stop("STOP from a page (HTTP)")
        return web.Response(text="stopping")

    async def stop_socket(self, request: web.Request) -> web.StreamResponse:
        if not self.same_origin(request):
            raise web.HTTPForbidden(text="a page of another origin")
        ws = web.WebSocketResponse(max_msg_size=MAX_MESSAGE)
        await ws.prepare(request)
        self.stop_sockets.add(ws)
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    self._stop_message(msg.data)
        finally:
            self.stop_sockets.discard(ws)
        return ws

    def _stop_message(self, text: str) -> None:
        try:
            message = json.loads(text)
            kind = message.get("type")
        except (ValueError, AttributeError):
            return
        if kind == "stop" and self.stopper is not None:
            self.stopper.stop(f"STOP from a page ({str(message.get('how', 'button'))[:20]})")
        elif kind == "alive" and self.may_drive(message):
            self.pages.alive()
            if not self._started:
                self._started = True
                self._spawn(self._run_start_commands())

    async def data_socket(self, request: web.Request) -> web.StreamResponse:
        if not self.same_origin(request):
            raise web.HTTPForbidden(text="a page of another origin")
        ws = web.WebSocketResponse(max_msg_size=MAX_MESSAGE)
        await ws.prepare(request)
        page = Page(ws)
        self.open_pages.add(page)
        s = self.settings
        page.put(json.dumps({
            "type": "hello", "watch": s.watch, "token_needed": s.token is not None,
            "may_drive": self.may_drive({"token": request.query.get("token", "")}),
            "motors": [spec.as_json(n) for n, spec in enumerate(s.specs)],
            "registers": [r.as_json() for r in s.registers], "rate_hz": s.rate_hz,
            "lost_after_s": s.lost_after_s, "record_window_s": self.recorder.window_s,
            "status_names": STATUS_NAMES}))
        if self.drive is not None:
            page.put(json.dumps({"type": "control", "motors": self.drive.control_state()}))
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    self._spawn(self._handle(page, msg.data))
        finally:
            self.open_pages.discard(page)
            page.sender.cancel()
        return ws

    # ---- commands ----------------------------------------------------------------------------

    async def _handle(self, page: Page, text: str) -> None:
        try:
            reply = await self._command(text)
        except (Refused, RuntimeError) as e:
            reply = {"type": "error", "message": str(e)}
        page.put(json.dumps(reply))

    async def _command(self, text: str) -> dict[str, Any]:
        message = self.checker.load(text)
        s = self.settings
        if message.get("type") == "record":  # sends nothing: watch pages may record too
            if not (s.watch or self.may_drive(message)):
                raise Refused(NO_TOKEN)
            if self.checker.check(message).args["action"] == "start":
                self.recorder.start(time.monotonic() - self.source.t0)
            else:
                self.recorder.stop()
            return {"type": "recording", **self.recorder.summary()}
        if s.watch:
            raise Refused("watch mode: this view sends nothing to the motors")
        if not self.may_drive(message):
            raise Refused(NO_TOKEN)
        return await self._run(self.checker.check(message))

    async def _run(self, command: Command) -> dict[str, Any]:
        result = await asyncio.wrap_future(self.drive.submit(command))
        if "registers" in result:
            return {"type": "registers", **result}
        return {"type": "done", "text": result.get("done", "")}

    async def _run_start_commands(self) -> None:
        for command in self.settings.start_commands:
            try:
                result = await self._run(command)
            except (Refused, RuntimeError) as e:
                result = {"type": "error", "message": f"at start: {e}"}
            self.broadcast(result)
