# Type stubs for the velkarin_group extension module: rounds over many motors on velkarin's own
# objects, the error of a round with failed members, the control-loop clock, what they counted,
# realtime(), status_name(), and read_frame() with watched_ids() for watching a bus. Each docstring
# is the live object's; MotorGroup's adds where the control mode is set.
"""Many motors per tick: rounds over several motors and buses in one call, and a
periodic clock for the control loop. Takes velkarin's own objects."""

import typing
from collections.abc import Iterable, Sequence

from _typeshed import structseq

from velkarin import ControlSetpoint, Damiao, MitSetpoint, MotorState, SocketCanTransport

__all__ = ["MotorGroup", "GroupError", "Ticker", "MemberStats", "BusHealth", "TickerStats", "realtime", "status_name", "read_frame",
           "watched_ids"]

@typing.final
class MotorGroup:
    """Motors on one or more buses, commanded together: every frame out,
    then one wait over all the buses, the interpreter lock released.

    A group switches no control mode: that is per motor, with
    Damiao.ensure_mit_mode(bus) on each member before MIT rounds. A motor in
    another mode answers every frame but does not act on it."""

    def __new__(
        cls,
        members: Sequence[tuple[SocketCanTransport, Damiao]],
        *,
        fd: bool = ...,
    ) -> MotorGroup: ...
    def __len__(self) -> int: ...
    @property
    def members(self) -> tuple[tuple[SocketCanTransport, Damiao], ...]: ...
    @property
    def fd(self) -> bool: ...
    def mit_control(self, setpoints: Sequence[MitSetpoint]) -> list[MotorState]:
        """One MIT frame per member (setpoints in member order), then every reply:
        a list of MotorState, or GroupError when any member failed."""
    def control(self, setpoints: Sequence[ControlSetpoint]) -> list[MotorState]:
        """One ControlSetpoint per member, each in its mode's frame."""
    def enable(self) -> list[MotorState]: ...
    def disable(self) -> list[MotorState]: ...
    def set_zero(self) -> list[MotorState]: ...
    def clear_error(self) -> list[MotorState]: ...
    def stats(self) -> list[MemberStats]:
        """Per member, in member order, a MemberStats: frames sent, replies answered,
        time-outs, late replies dropped, send failures, consecutive misses, the last
        status code and reply latencies, since the group was made or reset_stats()."""
    def reset_stats(self) -> None:
        """Zeroes every member's counts."""
    def bus_health(self) -> list[BusHealth]:
        """Per bus, in the order the members name them, a BusHealth: the interface's
        state and error counters, and the conditions its error frames reported."""

class GroupError(RuntimeError):
    """A round in which some members failed. `outcomes` holds, per member in
    order, its MotorState or the RuntimeError its own Damiao method would
    have raised."""

    outcomes: list[MotorState | RuntimeError]

@typing.final
class Ticker:
    """Period boundaries from now on at rate_hz, on the monotonic clock."""

    def __new__(cls, rate_hz: float) -> Ticker: ...
    @property
    def rate_hz(self) -> float: ...
    @property
    def overruns(self) -> int: ...
    def wait(self) -> int:
        """Sleep until the next period boundary; return how many boundaries
        passed since the previous wait without being waited for (0 on time)."""
    def stats(self) -> TickerStats:
        """A TickerStats: waits, overruns, and how long after its boundary each of the
        latest waits returned (median, 99th percentile, largest)."""

@typing.final
class MemberStats(structseq[int | float | None], tuple[int, int, int, int, int, int, int | None, float | None, float | None, float | None]):
    """One member's counts since the group was made or reset_stats(); latencies run from the
    end of a round's sends to the reply's arrival at the host."""

    __match_args__: typing.Final = ("sent", "answered", "timeouts", "late", "send_failures", "consecutive_misses",
                                    "last_status", "latency_p50_s", "latency_p99_s", "latency_max_s")
    @property
    def sent(self) -> int: ...
    @property
    def answered(self) -> int: ...
    @property
    def timeouts(self) -> int: ...
    @property
    def late(self) -> int: ...
    @property
    def send_failures(self) -> int: ...
    @property
    def consecutive_misses(self) -> int: ...
    @property
    def last_status(self) -> int | None: ...
    @property
    def latency_p50_s(self) -> float | None: ...
    @property
    def latency_p99_s(self) -> float | None: ...
    @property
    def latency_max_s(self) -> float | None: ...

@typing.final
class BusHealth(structseq[str | int | dict[str, int] | None], tuple[str, str, int | None, int | None, int | None, dict[str, int], str | None]):
    """One bus as its interface and its error frames report it."""

    __match_args__: typing.Final = ("iface", "state", "tx_errors", "rx_errors", "restarts", "error_frames",
                                    "last_error")
    @property
    def iface(self) -> str: ...
    @property
    def state(self) -> str: ...
    @property
    def tx_errors(self) -> int | None: ...
    @property
    def rx_errors(self) -> int | None: ...
    @property
    def restarts(self) -> int | None: ...
    @property
    def error_frames(self) -> dict[str, int]: ...
    @property
    def last_error(self) -> str | None: ...

@typing.final
class TickerStats(structseq[int | float | None], tuple[int, int, float | None, float | None, float | None]):
    """A ticker's waits and how late they returned."""

    __match_args__: typing.Final = ("waits", "overruns", "lateness_p50_s", "lateness_p99_s", "lateness_max_s")
    @property
    def waits(self) -> int: ...
    @property
    def overruns(self) -> int: ...
    @property
    def lateness_p50_s(self) -> float | None: ...
    @property
    def lateness_p99_s(self) -> float | None: ...
    @property
    def lateness_max_s(self) -> float | None: ...

def realtime(*, priority: int | None = ..., cpus: Iterable[int] | None = ..., lock_memory: bool = ...) -> dict[str, typing.Any]:
    """For the calling thread: SCHED_FIFO at `priority`, pinned to `cpus`, and the
    process's memory locked, each only when asked for. Returns what it applied
    as a dict; raises PermissionError, naming the limit or capability that would
    permit it, for a step the system refuses (the steps before it stay applied)."""

def status_name(code: int, /) -> str | None:
    """The name of a motor's status code (MotorState.error, MemberStats.last_status):
    'disabled', 'enabled', or the fault's, such as 'over-voltage'; None for a
    code the motor does not document."""

def read_frame(
    motor: Damiao, can_id: int, data: bytes | bytearray | memoryview
) -> tuple[str, MotorState | dict[str, float] | dict[str, int | str] | str] | None:
    """A frame seen on the bus, read for `motor` (a Damiao: its ids and limits)
    without sending anything: None when it is none of the motor's frames;
    ('feedback', MotorState); a command as ('mit', {'q', 'dq', 'kp', 'kd', 'tau'}),
    ('pos_vel', {'position', 'velocity'}), ('vel', {'velocity'}) or ('force_pos',
    {'position', 'velocity_limit', 'torque_ratio'}); ('special', 'enable' |
    'disable' | 'zero' | 'clear'); or register traffic as ('request' | 'reply',
    {'op', 'register', 'value'})."""

def watched_ids(motor: Damiao, /) -> list[int]:
    """The standard CAN identifiers read_frame() reads for `motor`: its four
    command identifiers (MIT first), its master id and 0x7FF. A receive filter
    of these passes every frame there is to see of it."""
