"""What a group tells about a silent motor, on vcan0 against velkarin-sim: each member's counts
(answered, silent, late, in a fault), the conditions the bus's error frames report (injected by
the simulator) in bus_health() and in a failing round's message but never in a single command's
result, the Ticker's lateness, and realtime() applied or refused."""

from __future__ import annotations

import os

import pytest

import canframes
from velkarin import Damiao, MitSetpoint, SocketCanTransport
from velkarin_group import BusHealth, GroupError, MemberStats, MotorGroup, Ticker, realtime

pytestmark = pytest.mark.requires_bus

ROUNDS = 5
ANSWERED_MS = 1000  # time-out of members that answer: waited out only when something is wrong
CONDITIONS = ["no-ack", "error-warning", "error-passive", "bus-off", "restarted", "rx-overflow"]


def rounds(group: MotorGroup, n: int) -> None:
    for _ in range(n):
        try:
            group.mit_control([MitSetpoint()] * len(group))
        except GroupError:
            pass


def test_each_members_counts_say_why_it_is_silent(vcan, start_sim, raw_peer):
    s = start_sim(*(f"{i}:0x1{i}:DM4310" for i in (1, 2, 3, 4)))
    s.command("fault 2 silent on")
    s.command("fault 1 delay 10")  # a latency no machine can make shorter
    # A round waits out its longest time-out: 400 ms, which motor 3 misses in the first round
    # only, by 200 ms, and the others never reach however slowly they are scheduled.
    s.command("fault 3 delay 600")
    s.command("fault 4 status overload")
    bus = SocketCanTransport(vcan)
    group = MotorGroup([(bus, Damiao(i, 0x10 + i, timeout_ms=400)) for i in (1, 2, 3, 4)])
    rounds(group, 1)
    while canframes.recv_frame(raw_peer).can_id != 0x13:  # its late reply is on the bus now
        pass
    s.command("fault 3 delay 0")
    rounds(group, ROUNDS - 1)
    answering, silent, late, faulty = group.stats()
    assert isinstance(answering, MemberStats)
    assert (answering.sent, answering.answered, answering.timeouts, answering.last_status) == (ROUNDS, ROUNDS, 0, 0)
    assert 0.005 <= answering.latency_p50_s <= answering.latency_max_s
    assert (silent.answered, silent.timeouts, silent.consecutive_misses, silent.last_status) == (0, ROUNDS, ROUNDS, None)
    assert (late.answered, late.timeouts, late.late) == (ROUNDS - 1, 1, 1)
    assert faulty.last_status == 0xE
    group.reset_stats()
    assert all(m.sent == 0 and m.latency_max_s is None for m in group.stats())


@pytest.mark.parametrize("condition", CONDITIONS)
def test_an_error_frame_shows_in_bus_health_and_a_failing_rounds_message_only(vcan, start_sim, condition):
    s = start_sim("1:0x11:DM4310")
    bus = SocketCanTransport(vcan)
    motor = Damiao(1, 0x11, timeout_ms=ANSWERED_MS)
    group = MotorGroup([(bus, motor), (bus, Damiao(2, 0x12, timeout_ms=20))])  # 2: nobody
    s.command(f"bus {condition}")
    assert motor.enable(bus).motor_id == 1  # a single command never sees error frames
    with pytest.raises(GroupError) as failed:
        group.disable()
    assert f"; {vcan}: " in str(failed.value)
    s.command(f"bus {condition}")
    health = group.bus_health()
    assert [type(h) for h in health] == [BusHealth]
    h = health[0]
    assert (h.iface, h.state, h.tx_errors, h.restarts) == (vcan, "unknown", None, None)  # vcan has none
    assert h.error_frames == {condition: 2} and h.last_error and h.last_error in str(failed.value)


def test_a_tickers_stats_count_its_waits_and_their_lateness():
    ticker = Ticker(200.0)
    for _ in range(10):
        ticker.wait()
    stats = ticker.stats()
    assert (stats.waits, stats.overruns >= 0) == (10, True)
    assert 0 <= stats.lateness_p50_s <= stats.lateness_p99_s <= stats.lateness_max_s


def test_realtime_is_applied_or_refused_with_its_fix():
    before = (os.sched_getscheduler(0), os.sched_getaffinity(0))
    try:
        applied = realtime(priority=10, cpus=[0])
    except PermissionError as e:
        assert "rtprio" in str(e) or "CAP_SYS_NICE" in str(e)
        return
    try:
        assert applied == {"policy": "SCHED_FIFO", "priority": 10, "cpus": [0]}
        assert (os.sched_getscheduler(0), os.sched_getaffinity(0)) == (os.SCHED_FIFO, {0})
    finally:
        os.sched_setscheduler(0, before[0], os.sched_param(0))
        os.sched_setaffinity(0, before[1])


def test_a_motor_that_answers_fd_frames_with_classic_ones_is_still_heard(vcan, start_sim, raw_peer):
    s = start_sim("1:0x11:DM4310", options=("--bitrate", "1000000", "--dbitrate", "5000000"))
    s.command("fault 1 classic-only on")
    group = MotorGroup([(SocketCanTransport(vcan), Damiao(1, 0x11, timeout_ms=ANSWERED_MS))], fd=True)
    assert group.enable()[0].motor_id == 1
    reply = canframes.recv_frame(raw_peer)
    while reply.can_id != 0x11:
        reply = canframes.recv_frame(raw_peer)
    assert not reply.fd and group.stats()[0].answered == 1

