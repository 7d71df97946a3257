"""The ROS 2 side of the node: `joint_states` out every tick, `joint_commands` in, the gains as
parameters kp.<joint> and kd.<joint>, the services ~/enable, ~/disable, ~/set_zero and
~/clear_error, and `diagnostics` at 1 Hz. Its callbacks run in the executor's thread; they hand
their work to the ControlLoop and never touch a bus."""

from __future__ import annotations

import threading
from concurrent.futures import TimeoutError as FutureTimeout

from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue
from rcl_interfaces.msg import ParameterDescriptor, SetParametersResult
from rclpy.node import Node
from rclpy.parameter import Parameter
from sensor_msgs.msg import JointState
from std_srvs.srv import Trigger

import velkarin

from . import diagnostics
from .commands import Command, Gains, Refused, check_gain, merge
from .config import Config
from .loop import REQUESTS, ControlLoop, Health, Report

DIAGNOSTICS_PERIOD = 1.0  # seconds
QUEUE_DEPTH = 10
# Long enough for the rounds ahead of a request in the queue and its own (each at most the
# largest reply time-out) on a loaded machine.
SERVICE_WAIT = 5.0  # seconds


class VelkarinNode(Node):
    def __init__(self, config: Config, loop: ControlLoop) -> None:
        super().__init__(config.node_name)
        self.config, self.loop = config, loop
        self._names = [j.name for j in config.joints]
        self._index = {name: n for n, name in enumerate(self._names)}
        self._commands = tuple(Command() for _ in config.joints)  # only this thread writes it
        self.refused = [0] * len(config.joints)
        self.refused_elsewhere = 0
        # The latest health shown and the one before it: what is new is counted between them,
        # so a message that finds no newer health repeats the previous message's levels.
        self._health_shown: Health | None = None
        self._health_before: Health | None = None
        self._states = self.create_publisher(JointState, "joint_states", QUEUE_DEPTH)
        self._diagnostics = self.create_publisher(DiagnosticArray, "diagnostics", QUEUE_DEPTH)
        self.create_subscription(JointState, "joint_commands", self._on_command, QUEUE_DEPTH)
        for kind in REQUESTS:
            self.create_service(Trigger, f"~/{kind}", self._service(kind))
        for j in config.joints:
            for which, value, high in (("kp", j.kp, j.limits.kp_max), ("kd", j.kd, j.limits.kd_max)):
                self.declare_parameter(f"{which}.{j.name}", value, ParameterDescriptor(
                    description=f"MIT {which} of joint {j.name}, 0 to {high:g}"))
        self.add_on_set_parameters_callback(self._on_gains)
        self.create_timer(DIAGNOSTICS_PERIOD, self._publish_diagnostics)
        loop.publish = self.publish_states

    # The loop's thread, every tick: rclpy's publish may be called from any thread.
    def publish_states(self, report: Report) -> None:
        msg = JointState()
        msg.header.stamp.sec, msg.header.stamp.nanosec = divmod(report.stamp_ns, 1_000_000_000)
        # A failed member has no state this tick: it is left out rather than sent as a guess.
        for name, o in zip(self._names, report.outcomes):
            if isinstance(o, velkarin.MotorState):
                msg.name.append(name)
                msg.position.append(o.position)
                msg.velocity.append(o.velocity)
                msg.effort.append(o.torque)
        self._states.publish(msg)

    def _on_command(self, msg: JointState) -> None:
        try:
            self._commands = merge(self.config.joints, self._index, self._commands, msg.name,
                                   msg.position, msg.velocity, msg.effort)
        except Refused as e:
            if e.joint is None:
                self.refused_elsewhere += 1
            else:
                self.refused[e.joint] += 1
            total = self.refused_elsewhere + sum(self.refused)
            self.get_logger().warning(f"joint_commands refused ({total} so far): {e}",
                                      throttle_duration_sec=1.0)
            return
        self.loop.offer(self._commands)

    def _on_gains(self, params: list[Parameter]) -> SetParametersResult:
        gains = list(self.loop.gains)
        try:
            for p in params:
                which, _, name = p.name.partition(".")
                n = self._index.get(name)
                if which not in ("kp", "kd") or n is None:
                    continue  # not a gain: rclpy's own parameters (use_sim_time) pass
                value = check_gain(self.config.joints[n], which, p.value)
                g = gains[n]
                gains[n] = Gains(value, g.kd) if which == "kp" else Gains(g.kp, value)
        except ValueError as e:
            return SetParametersResult(successful=False, reason=str(e))
        self.loop.gains = tuple(gains)
        return SetParametersResult(successful=True)

    def _service(self, kind: str):
        def serve(_request: Trigger.Request, response: Trigger.Response) -> Trigger.Response:
            try:
                response.message = self.loop.request(kind).result(SERVICE_WAIT)
                response.success = True
            except FutureTimeout:
                response.success, response.message = False, f"{kind}: the loop did not answer"
            except RuntimeError as e:
                response.success, response.message = False, str(e)
            self.get_logger().info(response.message)
            return response
        return serve

    def _publish_diagnostics(self) -> None:
        msg = DiagnosticArray()
        msg.header.stamp = self.get_clock().now().to_msg()
        report = self.loop.report
        if report is not None and report.health is not self._health_shown:
            self._health_before, self._health_shown = self._health_shown, report.health
        for s in diagnostics.statuses(self.config, report, self.refused, self.refused_elsewhere,
                                      self._health_before):
            msg.status.append(DiagnosticStatus(
                level=bytes([s.level]), name=s.name, message=s.message, hardware_id=s.hardware_id,
                values=[KeyValue(key=k, value=v) for k, v in s.values]))
        self._diagnostics.publish(msg)


def spin(node: VelkarinNode, executor, stop: threading.Event) -> None:
    """The executor's thread: spins until the context shuts down, then asks the node to stop."""
    try:
        executor.spin()
    except Exception as e:  # ExternalShutdownException, or a callback that raised
        if not stop.is_set():
            node.get_logger().error(f"executor stopped: {e!r}")
    finally:
        stop.set()
