"""Helpers of the node's bus tests: velkarin-ros2 as a child process, and a test node here that
records joint_states and diagnostics and calls services. Every wait is for an event, within WAIT."""

from __future__ import annotations

import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path

import pytest
import rclpy
import yaml
from diagnostic_msgs.msg import DiagnosticArray
from rcl_interfaces.msg import Parameter, ParameterType, ParameterValue
from rcl_interfaces.srv import SetParameters
from rclpy.executors import SingleThreadedExecutor
from sensor_msgs.msg import JointState
from std_srvs.srv import Trigger

import sim

WAIT = 30.0  # seconds any one event may take on a loaded machine before the test fails
REPEAT = 0.1  # seconds between the repeats of a command while a test waits
JOINTS = [("a", "vcan0", 1), ("b", "vcan0", 2), ("c", "vcan1", 1)]


def config(joints: dict[str, dict] | None = None, **changes) -> dict:
    """The tests' configuration, `changes` at the top level and `joints` per joint name."""
    # Slow rate and long reply time-outs: a busy guest must fail no round by being slow.
    base = {"rate_hz": 100, "buses": ["vcan0", "vcan1"], "command_timeout": 5.0,
            "joints": [{"name": n, "bus": bus, "motor_id": i, "master_id": 0x10 + i,
                        "model": "DM4310", "kp": 20, "kd": 1, "reply_timeout_ms": 50,
                        "position_limits": [-1.0, 1.0]} for n, bus, i in JOINTS]}
    for j in base["joints"]:
        j.update((joints or {}).get(j["name"], {}))
    return {**base, **changes}


class Peer:
    """The test node: the latest state of each joint, every diagnostics message, services."""

    def __init__(self) -> None:
        self.context = rclpy.Context()
        rclpy.init(context=self.context)
        self.node = rclpy.create_node("test_peer", context=self.context)
        self.changed = threading.Condition()
        self.joints: dict[str, tuple[float, float]] = {}  # name: (position, velocity)
        self.seen: dict[str, int] = {}  # name: the number of states received
        self.diagnostics: list[DiagnosticArray] = []
        self.node.create_subscription(JointState, "joint_states", self._on_state, 100)
        self.node.create_subscription(DiagnosticArray, "diagnostics", self._on_diagnostics, 10)
        self.commands = self.node.create_publisher(JointState, "joint_commands", 10)
        self.executor = SingleThreadedExecutor(context=self.context)
        self.executor.add_node(self.node)
        self.thread = threading.Thread(target=self.executor.spin, daemon=True)
        self.thread.start()

    def _on_state(self, msg: JointState) -> None:
        with self.changed:
            self.joints.update(zip(msg.name, zip(msg.position, msg.velocity)))
            self.seen.update((n, self.seen.get(n, 0) + 1) for n in msg.name)
            self.changed.notify_all()

    def _on_diagnostics(self, msg: DiagnosticArray) -> None:
        with self.changed:
            self.diagnostics.append(msg)
            self.changed.notify_all()

    def wait_for(self, what: str, condition: Callable[[], object],
                 repeat: Callable[[], None] | None = None) -> None:
        """Waits until `condition` holds, calling `repeat` (a command to keep fresh, and to send
        again should discovery have lost the first) every REPEAT seconds meanwhile."""
        end = time.monotonic() + WAIT
        with self.changed:
            while not condition():
                if time.monotonic() > end:
                    pytest.fail(f"no {what} within {WAIT} s; joints {self.joints}")
                if repeat is not None:
                    repeat()
                self.changed.wait(REPEAT)

    def status(self, name: str, after: int = 0):
        """The latest diagnostics status named `name` among messages after the first `after`."""
        found = [s for m in self.diagnostics[after:] for s in m.status if s.name == name]
        return found[-1] if found else None

    def value(self, name: str, key: str, after: int = 0) -> str | None:
        found = self.status(name, after)
        return next((v.value for v in found.values if v.key == key), None) if found else None

    def command(self, field: str, values: dict[str, float]) -> None:
        self.commands.publish(JointState(name=list(values), **{field: list(values.values())}))

    def call(self, service: str, request=None, kind=Trigger):
        request = Trigger.Request() if request is None else request
        client = self.node.create_client(kind, f"/velkarin/{service}")
        assert client.wait_for_service(timeout_sec=WAIT), f"{service} is not offered"
        done = threading.Event()
        future = client.call_async(request)
        future.add_done_callback(lambda _: done.set())
        assert done.wait(WAIT), f"{service} did not answer"
        return future.result()

    def set_gain(self, name: str, value: float) -> bool:
        value_msg = ParameterValue(type=ParameterType.PARAMETER_DOUBLE, double_value=value)
        request = SetParameters.Request(parameters=[Parameter(name=name, value=value_msg)])
        return self.call("set_parameters", request, SetParameters).results[0].successful

    def close(self) -> None:
        self.executor.shutdown()
        self.thread.join(WAIT)
        self.node.destroy_node()
        rclpy.shutdown(context=self.context)


class NodeProcess:
    """velkarin-ros2 as a child process, its log in a file (a pipe nobody reads could fill and
    stall it); stop() sends a signal and returns its exit status."""

    def __init__(self, config: dict, folder: Path) -> None:
        (folder / "node.yaml").write_text(yaml.safe_dump(config))
        self.log_path = folder / "node.log"
        program = shutil.which("velkarin-ros2") or str(Path(sys.executable).parent / "velkarin-ros2")
        with open(self.log_path, "w") as log:
            self.proc = subprocess.Popen([program, str(folder / "node.yaml")], stderr=log)

    def stop(self, signum: int = signal.SIGTERM) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            self.proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log = self.log_path.read_text()
        return self.proc.returncode


def motor_states(sims: dict[str, sim.Sim]) -> list[str]:
    """The first word of each simulated motor's state line: its status name."""
    return [line.split()[2] for s in sims.values() for line in s.command("state all")]
