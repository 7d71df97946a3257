# Type stubs for the velkarin_group extension module: rounds over many motors on velkarin's own
# objects, the error of a round with failed members, and the control-loop clock. Each docstring
# is the live object's; MotorGroup's adds where the control mode is set.
"""Many motors per tick: rounds over several motors and buses in one call, and a
periodic clock for the control loop. Takes velkarin's own objects."""

import typing
from collections.abc import Sequence

from velkarin import ControlSetpoint, Damiao, MitSetpoint, MotorState, SocketCanTransport

__all__ = ["MotorGroup", "GroupError", "Ticker"]

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
