"""A long loop of velkarin.Damiao commands against the motor stand-in on vcan0, success and failure
paths mixed, after which the process's memory, the reference counts of everything the calls were
handed and the open descriptors are what they were before."""

from __future__ import annotations

import gc
import os
import sys
import time

import pytest

import velkarin
from responder import Out, Responder, Rule
from velkarin import ControlSetpoint, Damiao, MitLimits, MitSetpoint

pytestmark = pytest.mark.requires_bus

MASTER = 0x11
MAX_CALLS = 100_000
BUDGET_S = 45.0  # a round trip through the guest kernel is ~0.6 ms: ~70,000 calls fit
WARM_UP_ROUNDS = 300
RSS_SLACK_KIB = 512  # a leak of even 8 bytes a call shows as > 2 MiB over 70,000 calls
BLOCKS_SLACK = 200  # the interpreter's own caches (method lookups, free lists) may settle

ANSWERED_MS = 1000  # never waited out while the stand-in answers, even on a busy host
LIMITS_TEXT = "min > max, or either was NaN. min = 1.0, max = -1.0"
SHORT_TEXT = "reply too short to decode: 4 bytes, need 8"
TIMEOUT_TEXT = "transport error: timeout waiting for frame"

FEEDBACK = bytes.fromhex("017FFF7FF7FF1E28")
READ_REG10 = bytes.fromhex("0100330A00000000")


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def motor():
    stand_in = Responder("vcan0")
    try:
        stand_in.script(
            [
                Rule(0x001, [Out(MASTER, FEEDBACK)]),  # special commands, MIT
                Rule(0x101, [Out(MASTER, FEEDBACK)]),  # POS_VEL
                Rule(0x201, [Out(MASTER, FEEDBACK)]),  # VEL
                Rule(0x301, [Out(MASTER, FEEDBACK)]),  # FORCE_POS
                Rule(0x7FF, [Out(MASTER, READ_REG10[:4] + bytes([1, 0, 0, 0]))], data=READ_REG10),
                Rule(0x002, [Out(0x012, FEEDBACK[:4])]),  # motor 2 answers short
            ],
            keep=0,  # count only: the record of 100,000 frames is not wanted
        )
        yield stand_in
    finally:
        stand_in.close()


def test_a_long_command_loop_leaks_no_memory_references_or_descriptors(motor):
    bus = velkarin.SocketCanTransport("vcan0")
    good = Damiao(1, MASTER, timeout_ms=ANSWERED_MS)
    bad_limits = Damiao(1, MASTER, limits=MitLimits(p_max=-1))  # fails before sending
    short = Damiao(2, 0x012, timeout_ms=ANSWERED_MS)  # fails on the 4-byte reply
    silent = Damiao(9, MASTER, timeout_ms=0)  # times out at once; nobody answers id 9
    sp = MitSetpoint(1.0, 2.0, 50.0, 1.0, 0.5)
    pos_vel = ControlSetpoint.pos_vel(1.5, -2.0)
    vel = ControlSetpoint.vel(3.0)
    force_pos = ControlSetpoint.force_pos(1.5, 2.5, 0.5)
    mit = ControlSetpoint.mit(sp)

    def one_round() -> tuple[int, int]:
        """Ten calls; returns (states received, failures raised)."""
        states = failures = 0
        for r in (
            good.mit_control(bus, sp),
            good.control(bus, pos_vel),
            good.control(bus, vel),
            good.control(bus, force_pos),
            good.control(bus, mit),
            good.enable(bus),
        ):
            states += type(r) is velkarin.MotorState
        if good.ensure_mit_mode(bus) is None:
            states += 1
        for fail, text in (
            (lambda: bad_limits.mit_control(bus, sp), LIMITS_TEXT),
            (lambda: short.enable(bus), SHORT_TEXT),
            (lambda: silent.disable(bus), TIMEOUT_TEXT),
        ):
            try:
                fail()
            except RuntimeError as e:
                failures += e.args == (text,)
        return states, failures

    tracked = {
        "bus": bus,
        "good": good,
        "bad_limits": bad_limits,
        "short": short,
        "silent": silent,
        "sp": sp,
        "pos_vel": pos_vel,
        "vel": vel,
        "force_pos": force_pos,
        "mit": mit,
        "MotorState type": velkarin.MotorState,
        "Damiao type": Damiao,
        "SocketCanTransport type": velkarin.SocketCanTransport,
        "RuntimeError type": RuntimeError,
    }

    for _ in range(WARM_UP_ROUNDS):
        one_round()
    gc.collect()
    refs_before = {name: sys.getrefcount(obj) for name, obj in tracked.items()}
    fds_before = open_fds()
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_kib()

    rounds = states = failures = 0
    end = time.monotonic() + BUDGET_S
    while rounds * 10 < MAX_CALLS and time.monotonic() < end:
        s, f = one_round()
        states += s
        failures += f
        rounds += 1

    gc.collect()
    rss_after = rss_kib()
    blocks_after = sys.getallocatedblocks()
    fds_after = open_fds()
    refs_after = {name: sys.getrefcount(obj) for name, obj in tracked.items()}

    calls = rounds * 10
    print(
        f"{calls} calls: RSS {rss_after - rss_before:+d} KiB, "
        f"blocks {blocks_after - blocks_before:+d}, descriptors {fds_after - fds_before:+d}"
    )
    # Enough calls for a per-call leak to stand out, and each path taken every round.
    assert calls >= 10_000, f"only {calls} calls in {BUDGET_S} s"
    assert (states, failures) == (rounds * 7, rounds * 3)
    # Every command frame reached the stand-in, warm-up included, except the refused MIT one.
    assert motor.collect().count == (WARM_UP_ROUNDS + rounds) * 9

    assert refs_after == refs_before
    assert fds_after == fds_before
    assert blocks_after - blocks_before <= BLOCKS_SLACK, f"{blocks_after - blocks_before} blocks"
    assert rss_after - rss_before <= RSS_SLACK_KIB, f"{rss_after - rss_before} KiB over {calls}"
