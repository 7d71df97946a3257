"""The node's life: open the buses, put every motor in MIT mode, start the loop's thread and the
executor's, wait for SIGINT, SIGTERM or the context's shutdown, then stop the loop and disable
every motor before the process exits."""

from __future__ import annotations

import sys
import threading

import rclpy
from rclpy.executors import SingleThreadedExecutor
from rclpy.signals import SignalHandlerOptions

import velkarin
from velkarin_group import MotorGroup

from .config import Config
from .loop import ControlLoop
from .node import VelkarinNode, spin
from .stop import stop_signals, wait_for_stop

PROG = "velkarin-ros2"


def open_group(config: Config) -> MotorGroup:
    """OSError when a bus cannot be opened."""
    buses = {}
    for iface in config.buses:
        try:
            buses[iface] = velkarin.SocketCanTransport(iface)
        except OSError as e:
            raise OSError(e.errno, f"cannot open {iface}: {e.strerror or e}") from None
    return MotorGroup([(buses[j.bus], velkarin.Damiao(j.motor_id, j.master_id, j.limits,
                                                      j.reply_timeout_ms))
                       for j in config.joints], fd=config.can_fd)


def ensure_mit_mode(config: Config, group: MotorGroup, log) -> None:
    # A motor that does not answer now is reported and kept: it may be powered later, and the
    # loop goes on for the others. It ignores MIT frames until it is in MIT mode.
    for j, (bus, motor) in zip(config.joints, group.members):
        try:
            motor.ensure_mit_mode(bus)
        except RuntimeError as e:
            log.warning(f"joint {j.name} ({j.bus}, motor {j.motor_id:#x}): MIT mode not "
                        f"confirmed: {e}")


def run(config: Config, ros_args: list[str]) -> int:
    try:
        group = open_group(config)
    except OSError as e:
        print(f"{PROG}: {e.strerror}", file=sys.stderr)
        return 1
    # Our own handlers, not rclpy's: a signal must stop the loop and disable the motors while
    # the context still works, so the disable round goes out before anything shuts down.
    with stop_signals() as received:
        return _serve(config, group, ros_args, received)


def _serve(config: Config, group: MotorGroup, ros_args: list[str], received: list[int]) -> int:
    stop = threading.Event()
    rclpy.init(args=ros_args, signal_handler_options=SignalHandlerOptions.NO)
    rclpy.get_default_context().on_shutdown(stop.set)
    loop = node = executor = None
    threads: list[threading.Thread] = []
    rc = 0
    try:
        # The node exists before any motor is touched, so its logger reports the set-up too.
        loop = ControlLoop(config, group)
        node = VelkarinNode(config, loop)
        loop.log = node.get_logger()
        ensure_mit_mode(config, group, loop.log)
        if config.enable_at_start:
            loop.request("enable")
        executor = SingleThreadedExecutor()
        executor.add_node(node)
        threads = [threading.Thread(target=_loop_thread, args=(loop, stop), name="loop"),
                   threading.Thread(target=spin, args=(node, executor, stop), name="executor")]
        for t in threads:
            t.start()
        loop.log.info(f"{len(config.joints)} joints on {', '.join(config.buses)} at "
                      f"{config.rate_hz:g} Hz")
        if (signame := wait_for_stop(stop, received)) is not None:
            loop.log.info(f"{signame}: stopping the loop, then disabling every motor")
        stop.set()
        threads[0].join()
        if loop.crashed is not None:
            rc = 1
    finally:
        stop.set()
        if loop is not None:
            if threads:
                threads[0].join()
            _disable(config, loop)
        # The executor's thread must be out of spin() before the node goes: rcl aborts the
        # process when a node is destroyed under a spinning executor.
        if executor is not None:
            executor.shutdown()
        for t in threads[1:]:
            t.join()
        if node is not None:
            node.destroy_node()
        rclpy.try_shutdown()
    return rc


def _loop_thread(loop: ControlLoop, stop: threading.Event) -> None:
    try:
        loop.run(stop)
    except BaseException as e:
        loop.crashed = e
        print(f"{PROG}: the control loop failed: {e!r}", file=sys.stderr)
    finally:
        stop.set()


def _disable(config: Config, loop: ControlLoop) -> None:
    outcomes = loop.disable_all()
    failed = [f"{j.name}: {o}" for j, o in zip(config.joints, outcomes) if isinstance(o, RuntimeError)]
    if failed:
        print(f"{PROG}: could not disable {'; '.join(failed)}", file=sys.stderr)
    else:
        loop.log.info(f"{len(outcomes)} motors disabled")
