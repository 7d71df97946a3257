"""velkarin-ros2 against velkarin-sim on vcan0 and vcan1, driven by a test node in this process:
tracking, gains, services, time-outs, the exit, diagnostics, refused commands."""

from __future__ import annotations

import signal
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

pytest.importorskip("rclpy", reason="needs the ros2 extra: pip install .[ros2]")

import canframes  # noqa: E402
import sim  # noqa: E402
from ros_peer import JOINTS, NodeProcess, Peer, config, motor_states  # noqa: E402

pytestmark = pytest.mark.requires_bus


@pytest.fixture
def sims(vcan: str, vcan1: str) -> Iterator[dict[str, sim.Sim]]:
    exe = sim.find_sim()
    assert exe is not None, "velkarin-sim not found"
    running = {vcan: sim.Sim(exe, vcan, ["1:0x11:DM4310", "2:0x12:DM4310"]),
               vcan1: sim.Sim(exe, vcan1, ["1:0x11:DM4310"])}
    yield running
    assert [s.stop() for s in running.values()] == [0, 0]


@pytest.fixture
def peer() -> Iterator[Peer]:
    yield (p := Peer())
    p.close()


@pytest.fixture
def start_node(sims, peer: Peer, tmp_path: Path) -> Iterator[Callable[..., NodeProcess]]:
    """start_node(joints=..., **changes): the node on config(...), once the test node has a state
    of every joint; stopped at the end with SIGTERM, which must exit 0 and disable every motor."""
    nodes: list[NodeProcess] = []

    def start(**changes) -> NodeProcess:
        nodes.append(node := NodeProcess(config(**changes), tmp_path))
        peer.wait_for("joint_states of every joint",
                      lambda: len(peer.joints) == len(JOINTS) or node.proc.poll() is not None)
        assert node.proc.poll() is None, f"velkarin-ros2 exited: {node.stop()} {node.log}"
        return node

    yield start
    assert [n.stop() for n in nodes] == [0] * len(nodes), nodes[0].log
    assert motor_states(sims) == ["disabled"] * 3  # after SIGTERM, whatever the test did


def near(peer: Peer, joint: str, q: float) -> Callable[[], bool]:
    return lambda: abs(peer.joints[joint][0] - q) < 0.03


def test_states_track_a_command_with_the_gain_set_at_run_time(start_node, peer) -> None:
    start_node(joints={"a": {"kp": 0.0, "hold_kp": 20.0}})
    assert not peer.set_gain("kp.a", 600.0)  # above the DM4310's kp_max of 500
    assert peer.set_gain("kp.a", 20.0)  # with kp still 0 the joint would never get there
    peer.wait_for("joint a at 0.6", near(peer, "a", 0.6),
                  repeat=lambda: peer.command("position", {"a": 0.6}))
    assert abs(peer.joints["b"][0]) < 0.03  # a command by name moves that joint alone


@pytest.mark.parametrize(("on_timeout", "states"), [("hold", ["enabled"] * 3),
                                                    ("disable", ["disabled"] * 3)])
def test_when_commands_stop_every_joint_holds_or_is_disabled(
        start_node, peer, sims, on_timeout, states) -> None:
    # Torque alone spins joint a; holding stops it where it is and keeps it enabled, a torque
    # still applied would keep it spinning.
    start_node(command_timeout=0.5, on_timeout=on_timeout,
               joints={"a": {"kp": 0.0, "kd": 0.0, "hold_kp": 20.0, "hold_kd": 1.0}})
    peer.wait_for("joint a spinning", lambda: peer.joints["a"][1] > 1.0,
                  repeat=lambda: peer.command("effort", {"a": 0.5}))
    peer.wait_for("joint a still", lambda: abs(peer.joints["a"][1]) < 0.02)
    assert motor_states(sims) == states


def test_ctrl_c_disables_every_motor_before_the_node_exits(start_node, sims) -> None:
    node = start_node()
    assert motor_states(sims) == ["enabled"] * 3
    assert node.stop(signal.SIGINT) == 0, node.log  # the fixture checks the motors


def test_the_services_enable_disable_set_zero_and_clear_errors(start_node, peer, sims) -> None:
    start_node()
    peer.wait_for("joint a at 0.5", near(peer, "a", 0.5),
                  repeat=lambda: peer.command("position", {"a": 0.5}))
    sims["vcan0"].command("fault 2 status over-current")
    answer = peer.call("enable")
    assert not answer.success and "b: status 0xa" in answer.message, answer.message
    assert not peer.call("set_zero").success  # refused while enabled
    assert peer.call("clear_error").success
    assert motor_states(sims) == ["disabled"] * 3
    assert peer.call("set_zero").success
    peer.wait_for("joint a at its new zero", near(peer, "a", 0.0))
    assert peer.call("enable").success
    assert motor_states(sims) == ["enabled"] * 3


@pytest.mark.parametrize(("fault", "text", "failed", "counted"), [
    ("silent on", "timeout waiting for frame", "1", "timeouts"),
    ("status overload", "motor fault: overload", "0", "answered"),
])  # fmt: skip
def test_diagnostics_report_a_silent_or_faulted_motor_and_the_others_go_on(
        start_node, peer, sims, fault, text, failed, counted) -> None:
    start_node()
    after = len(peer.diagnostics)
    sims["vcan0"].command(f"fault 2 {fault}")
    peer.wait_for(f"joint b reported ({text})", lambda: (b := peer.status("velkarin: joint b", after))
                  is not None and b.level == b"\x02" and text in b.message)  # 2: ERROR
    assert peer.value("velkarin: bus vcan0", "failed members", after) == failed
    assert peer.status("velkarin: joint a", after).level == b"\x00"  # OK
    # The group's counts, taken once a second: the silent motor's time-outs, the faulted one's replies.
    peer.wait_for(f"joint b's {counted} counted",
                  lambda: int(peer.value("velkarin: joint b", counted, after) or 0) > 0)
    assert peer.value("velkarin: bus vcan0", "state", after) is not None
    seen = dict(peer.seen)
    peer.wait_for("joint a's states going on", lambda: peer.seen["a"] > seen["a"] + 10)
    sims["vcan0"].command("fault 2 silent off")  # its first reply may go as a late one's
    peer.wait_for("joint b answering", lambda: peer.seen["b"] > seen["b"])
    assert peer.call("clear_error").success


def test_refused_commands_are_counted_and_never_sent(start_node, peer, vcan) -> None:
    start_node()
    frames = canframes.open_raw_socket(vcan)
    for status, key, command in [("joint a", "commands refused", {"a": 5.0}),  # limit 1.0
                                 ("loop", "commands refused, no such joint", {"z": 0.1})]:
        peer.wait_for(f"{key} counted", lambda s=status, k=key: peer.value(f"velkarin: {s}", k)
                      not in (None, "0"), repeat=lambda c=command: peer.command("position", c))
    # Motor 1's MIT frames on vcan0: q in the first two bytes, over -12.5..12.5 rad.
    sent = [f.data for f in canframes.drain(frames) if f.can_id == 1 and f.data[:7] != b"\xff" * 7]
    frames.close()
    assert sent and max(abs(int.from_bytes(d[:2], "big") / 65535 * 25 - 12.5) for d in sent) < 1.0
