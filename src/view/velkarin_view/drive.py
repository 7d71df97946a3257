"""The drive loop: one MotorGroup round per tick of a Ticker on a thread of its own, the page's
commands run between rounds, every sample handed to the recording and the display.

The loop never waits for the page and the page never waits for it: commands come in through a
queue and their results go back through futures. STOP does not go through here at all
(stopper.py has its own sockets); it only tells the loop, which then drops every command queued
before it. Register access runs velkarin-tool from this thread, so the loop pauses while the
tool talks to the motors (its register replies arrive on the master id, where a round would take
them for feedback); it is allowed only while no motor is enabled, so the pause holds none."""

from __future__ import annotations

import collections
import concurrent.futures
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import velkarin
import velkarin_group
from velkarin_group import GroupError, MotorGroup, Ticker

from velkarin_view.control import NO_TARGETS, MotorControl
from velkarin_view.display import Row
from velkarin_view.messages import Command, Refused
from velkarin_view.motors import MODES, Limits, MotorSpec
from velkarin_view.recording import Recorder
from velkarin_view.signals import Signal
from velkarin_view.tool import Tool

ENABLED = 0x1
STATS_EVERY_S = 0.5
LIMIT_REGISTERS = {"PMAX": "p_max", "VMAX": "v_max", "TMAX": "t_max"}


def status_name(code: int) -> str:
    """The name velkarin-tool prints for a status code of feedback byte 0."""
    return velkarin_group.status_name(code) or f"code-{code}"


def fields_of(record: Any) -> dict[str, Any]:
    """A MemberStats, BusHealth or TickerStats (structure sequences) as a dict."""
    return dict(zip(type(record).__match_args__, record))


class Job:
    def __init__(self, command: Command, generation: int) -> None:
        self.command = command
        self.generation = generation
        self.future: concurrent.futures.Future[dict[str, Any]] = concurrent.futures.Future()


class DriveLoop(threading.Thread):
    def __init__(self, specs: Sequence[MotorSpec], *, rate_hz: float, timeout_ms: int, fd: bool,
                 tools: dict[str, Tool], recorder: Recorder) -> None:
        super().__init__(name="velkarin-view drive loop", daemon=True)
        self.specs = specs
        self.rate_hz = rate_hz
        self.timeout_ms = timeout_ms
        self.fd = fd
        self.tools = tools
        self.recorder = recorder
        self.controls = [MotorControl(s.limits or Limits(0, 0, 0), MODES.get(s.mode or 0)) for s in specs]
        self.motors = [self._motor(s) for s in specs]
        self._open_buses()
        self.last: list[velkarin.MotorState | None] = [None] * len(specs)
        self.t0 = time.monotonic()
        self.rounds = 0
        self.last_round_at = self.t0  # for the stopper: a loop that stalls is stopped
        self.stats: dict[str, Any] = {}
        self.on_change: Callable[[], None] = lambda: None  # the server's: control state changed
        self._jobs: collections.deque[Job] = collections.deque()
        self._rows_lock = threading.Lock()
        self._rows: list[list[Row]] = [[] for _ in specs]
        self._stop_generation = 0
        self._seen_generation = 0
        self._closing = threading.Event()

    def _motor(self, spec: MotorSpec) -> velkarin.Damiao:
        assert spec.limits is not None
        return velkarin.Damiao(spec.motor_id, spec.master_id, spec.limits.mit_limits(), self.timeout_ms)

    def _group(self) -> MotorGroup:
        return MotorGroup([(self.buses[s.iface], m) for s, m in zip(self.specs, self.motors)], fd=self.fd)

    def _open_buses(self) -> None:
        """Sockets of their own, opened anew after another program (velkarin-tool, the stopper)
        talked to the motors: its replies, queued on the old sockets, would each be taken for
        the reply of this loop's next command, and every reply after them one round late. The
        group's counts start again with the new group."""
        self.buses = {s.iface: velkarin.SocketCanTransport(s.iface) for s in self.specs}
        self.group = self._group()
        self._reopen = False
    # ---- from other threads ----------------------------------------------------------------

    def submit(self, command: Command) -> concurrent.futures.Future[dict[str, Any]]:
        job = Job(command, self._stop_generation)
        self._jobs.append(job)
        return job.future

    def halt(self) -> None:
        """STOP: every motor counts as disabled from the next round on, and every command
        queued before now is dropped. The stopper sends the disable frames."""
        self._stop_generation += 1

    def reopen_buses(self) -> None:
        """The stopper's round is over: its replies sit in this loop's sockets."""
        self._reopen = True

    def any_enabled(self) -> bool:
        return any(c.enabled for c in self.controls)

    def take_rows(self) -> list[list[Row]]:
        with self._rows_lock:
            rows, self._rows = self._rows, [[] for _ in self.specs]
        return rows

    def control_state(self) -> list[dict[str, object]]:
        return [c.as_json() for c in self.controls]

    def mode_of(self, index: int) -> str | None:
        return self.controls[index].mode

    def close(self) -> None:
        self._closing.set()

    # ---- the loop's own thread ---------------------------------------------------------------

    def run(self) -> None:
        ticker = Ticker(self.rate_hz)
        next_stats = 0.0
        try:
            while not self._closing.is_set():
                if self._reopen:
                    self._open_buses()
                if self._seen_generation != self._stop_generation:
                    self._seen_generation = self._stop_generation
                    for c in self.controls:
                        c.enabled, c.signal = False, None
                    self.on_change()
                while self._jobs:
                    self._run(self._jobs.popleft())
                self._round(time.monotonic() - self.t0)
                now = time.monotonic()
                self.last_round_at = now
                if now >= next_stats:
                    next_stats = now + STATS_EVERY_S
                    self._publish_stats(ticker)
                ticker.wait()
        finally:
            try:
                self.group.disable()
            except GroupError:
                pass

    def _round(self, t: float) -> None:
        targets = [NO_TARGETS] * len(self.controls)
        try:
            if self.any_enabled():
                frames = [c.frame(t, last) for c, last in zip(self.controls, self.last)]
                targets = [f[1] for f in frames]
                outcomes: list[Any] = self.group.control([f[0] for f in frames])
            else:
                outcomes = self.group.disable()
        except GroupError as e:
            outcomes = e.outcomes
        self.rounds += 1
        t = time.monotonic() - self.t0
        samples = []
        with self._rows_lock:
            for n, (state, target) in enumerate(zip(outcomes, targets)):
                if not isinstance(state, velkarin.MotorState):
                    continue
                self.last[n] = state
                self._rows[n].append((t, state.error, state.position, state.velocity, state.torque,
                                      state.t_mos, state.t_rotor) + target)
                samples.append((t, self.specs[n].motor_id, state.error, state.position,
                                state.velocity, state.torque, state.t_mos, state.t_rotor))
        self.recorder.add(samples)
        self._keep_disabled(outcomes)

    def _keep_disabled(self, outcomes: list[Any]) -> None:
        """A motor the page has not enabled is disabled again whenever it says it is enabled
        (an enable that crossed a STOP on the bus); one that reports a fault has disabled
        itself, and counts as disabled here too."""
        changed = False
        for n, state in enumerate(outcomes):
            if not isinstance(state, velkarin.MotorState):
                continue
            c = self.controls[n]
            if c.enabled and state.error != ENABLED:
                c.enabled, c.signal, changed = False, None, True
            elif not c.enabled and state.error == ENABLED:
                try:
                    self.last[n] = self.motors[n].disable(self.buses[self.specs[n].iface])
                except RuntimeError:
                    pass  # the next round asks again
        if changed:
            self.on_change()

    def _publish_stats(self, ticker: Ticker) -> None:
        self.stats = {
            "members": [fields_of(s) for s in self.group.stats()],
            "buses": [fields_of(h) for h in self.group.bus_health()],
            "ticker": fields_of(ticker.stats()),
            "rounds": self.rounds,
            "rate_hz": self.rate_hz,
        }

    def _run(self, job: Job) -> None:
        if job.generation != self._stop_generation:
            job.future.set_exception(Refused(f"{job.command.kind} dropped: STOP came after it"))
            return
        try:
            result = self._command(job.command)
        except (Refused, RuntimeError) as e:
            job.future.set_exception(e)
        else:
            job.future.set_result(result)
            self.on_change()

    def _command(self, command: Command) -> dict[str, Any]:
        n, args = command.motor, command.args
        assert n is not None
        c, motor, spec = self.controls[n], self.motors[n], self.specs[n]
        bus = self.buses[spec.iface]
        name = f"motor {spec.motor_id:#x}"
        kind = command.kind
        if kind == "enable":
            state = motor.enable(bus)
            self.last[n] = state
            if state.error != ENABLED:
                raise Refused(f"{name} did not enable: it reports {status_name(state.error)}"
                              + (" (clear it first)" if state.error >= 0x8 else ""))
            c.hold(state.position)
            c.enabled = True
            return {"done": f"{name} enabled at {state.position:.4f} rad"}
        if kind == "disable":
            c.enabled, c.signal = False, None
            self.last[n] = motor.disable(bus)
            return {"done": f"{name} disabled"}
        if kind in ("zero", "clear"):
            if c.enabled:
                raise Refused(f"disable {name} before {'setting its zero' if kind == 'zero' else 'clearing it'}")
            self.last[n] = motor.set_zero(bus) if kind == "zero" else motor.clear_error(bus)
            return {"done": f"{name}: {'zero set' if kind == 'zero' else 'cleared'}"}
        if kind == "setpoint":
            c.fields[args["mode"]].update(args["fields"])
            return {}
        if kind == "signal":
            if args["shape"] == "off":
                c.signal = None
            else:
                c.signal = Signal(args["shape"], args["amplitude"], args["frequency"], args["offset"],
                                  time.monotonic() - self.t0)
            return {}
        return self._registers(n, command)

    def _registers(self, n: int, command: Command) -> dict[str, Any]:
        """Commands that run velkarin-tool: the loop pauses until it is done."""
        spec, c = self.specs[n], self.controls[n]
        if self.any_enabled():
            raise Refused("disable every motor first: the loop pauses while velkarin-tool talks "
                          "to the motors, and an enabled motor would hold its last command")
        try:
            return self._tool_command(n, command)
        finally:
            self._open_buses()

    def _tool_command(self, n: int, command: Command) -> dict[str, Any]:
        spec, c = self.specs[n], self.controls[n]
        tool, motor_id = self.tools[spec.iface], str(spec.motor_id)
        kind, args = command.kind, command.args
        if kind == "read_registers":
            info = tool.call("info", motor_id)
            return {"registers": info["registers"], "motor": n}
        if kind == "store":
            tool.call("save", motor_id)
            return {"done": f"motor {spec.motor_id:#x}: every parameter stored to flash", "motor": n}
        if kind == "mode" or (kind == "write_register" and args["register"] == "CTRL_MODE"):
            mode = args["mode"] if kind == "mode" else MODES.get(args["value"], "")
            written = tool.call("mode", motor_id, mode)["CTRL_MODE"]
            spec.mode, c.mode = written, MODES.get(written)
            return {"done": f"motor {spec.motor_id:#x} in {c.mode} mode", "motor": n,
                    "registers": {"CTRL_MODE": written}}
        variable, value = args["register"], args["value"]
        written = tool.call("set", motor_id, variable, repr(value) if isinstance(value, float) else str(value))
        if variable in LIMIT_REGISTERS:  # the feedback's scaling changed: decode with the new one
            assert spec.limits is not None
            setattr(spec.limits, LIMIT_REGISTERS[variable], float(written[variable]))
            self.motors[n] = self._motor(spec)
        return {"done": f"motor {spec.motor_id:#x}: {variable} = {written[variable]}", "motor": n,
                "registers": written}

