"""velkarin_group at the edges of a Python program, each in a child interpreter with a time bound
(a hang fails the test, not the run): members whose own methods change the members list, a
finalizer that runs a round during a round, daemon threads in a round at exit, Ctrl-C while
waiting for a lock, fork during another thread's round, a Ticker waited on inside its own wait,
and a stand-in put in place of a velkarin class."""

from __future__ import annotations

import subprocess
import sys

import pytest

pytestmark = pytest.mark.requires_bus

BOUND = 60  # seconds a child may take; none needs more than a few

PRELUDE = """
import gc, os, signal, socket, struct, sys, threading, time
from velkarin import Damiao, SocketCanTransport
from velkarin_group import GroupError, MotorGroup, Ticker
bus = SocketCanTransport("vcan0")
def silent(timeout_ms):  # motor 9: nobody answers it
    return Damiao(9, 0x19, timeout_ms=timeout_ms)
def quietly(call):
    try:
        return call()
    except (GroupError, RuntimeError) as e:
        return e
def round_in_thread(timeout_ms=3000):
    # A thread in a round on motor 9; returns once its frame is on the bus.
    peer = socket.socket(socket.PF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    peer.bind(("vcan0",))
    peer.settimeout(10)
    g = MotorGroup([(bus, silent(timeout_ms))])
    t = threading.Thread(target=lambda: quietly(g.enable), daemon=True)
    t.start()
    while struct.unpack_from("=I", peer.recv(72))[0] != 9:
        pass
    return g, t, peer
"""


def run_child(code: str) -> str:
    done = subprocess.run([sys.executable, "-c", PRELUDE + code], capture_output=True, text=True,
                          timeout=BOUND)
    assert (done.returncode, done.stderr) == (0, ""), done.stdout
    return done.stdout


@pytest.mark.parametrize(("length", "printed"), [(2, "1 member"), (3, "got [<velkarin.")])
def test_members_whose_own_methods_empty_the_members_list(vcan, length, printed):
    out = run_child(f"""
class Pair(list):
    def __len__(self):
        outer.clear()
        gc.collect()
        return {length}
outer = [Pair([bus, silent(5)])]
try:
    print(len(MotorGroup(outer)), "member")
except TypeError as e:
    print(e)
""")
    assert printed in out


def test_a_finalizer_that_runs_a_round_while_one_builds_its_results(vcan):
    # The results list is the round's first allocation the collector sees.
    out = run_child("""
g = MotorGroup([(bus, silent(5))])
ran = []
class Cleanup:
    def __del__(self):
        ran.append(type(quietly(g.disable)).__name__)
gc.disable()
c = Cleanup(); c.cycle = c; del c
gc.set_threshold(1)
gc.enable()
try:
    g.disable()  # called directly: no bound method for the collector to see first
except GroupError:
    pass
print(ran)
""")
    assert out.strip() == "['GroupError']"


def test_daemon_threads_in_a_round_at_exit_let_the_program_end(vcan):
    for _ in range(10):
        run_child("""
g = MotorGroup([(bus, silent(50))])
def rounds():
    while True:
        quietly(g.disable)
for _ in range(2):
    threading.Thread(target=rounds, daemon=True).start()
time.sleep(0.02)
""")


@pytest.mark.parametrize("call", ["single", "round"])
def test_ctrl_c_ends_a_wait_for_a_lock_another_threads_round_holds(vcan, call):
    out = run_child(f"""
g, t, peer = round_in_thread()
mine = MotorGroup([(bus, Damiao(1, 0x11))])
signal.signal(signal.SIGALRM, signal.default_int_handler)
signal.setitimer(signal.ITIMER_REAL, 0.3)
start = time.monotonic()
try:
    {"Damiao(1, 0x11).enable(bus)" if call == "single" else "mine.enable()"}
except KeyboardInterrupt:
    print("interrupted after", round(time.monotonic() - start, 1))
t.join()
peer.settimeout(0.2)
try:
    print("sent", hex(struct.unpack_from("=I", peer.recv(72))[0]))
except socket.timeout:
    print("nothing sent")
""")
    assert "interrupted after" in out and float(out.split()[2]) < 2.5, out
    assert "nothing sent" in out


def test_fork_during_another_threads_round_leaves_the_child_usable(vcan):
    out = run_child("""
g, t, peer = round_in_thread()
pid = os.fork()
if pid == 0:
    outcomes = (quietly(lambda: silent(10).enable(bus)), quietly(g.disable))
    os._exit(0 if [type(o) for o in outcomes] == [RuntimeError, GroupError] else 1)
_, status = os.waitpid(pid, 0)
print("child", os.waitstatus_to_exitcode(status))
t.join()
""")
    assert out.strip() == "child 0"


def test_a_ticker_waited_on_inside_its_own_wait_counts_no_absurd_misses():
    out = run_child("""
ticker = Ticker(50.0)
got = []
signal.signal(signal.SIGALRM, lambda *a: got.append(ticker.wait()))
signal.setitimer(signal.ITIMER_REAL, 0.005)
got.append(ticker.wait())
print(max(got) < 10 and ticker.overruns < 10)
""")
    assert out.strip() == "True"


def test_a_stand_in_for_a_velkarin_class_is_refused_at_import():
    done = subprocess.run([sys.executable, "-c", """
import velkarin
slots = (velkarin.SocketCanTransport.__basicsize__ - object.__basicsize__) // 8
velkarin.SocketCanTransport = type("SocketCanTransport", (), {"__slots__": tuple(f"s{i}" for i in range(slots))})
import velkarin_group
"""], capture_output=True, text=True, timeout=BOUND)
    assert "SocketCanTransport is not velkarin's own class" in done.stderr
