# Type stubs for the velkarin extension module: every class, attribute, constructor and method,
# and the module function, with the docstrings the live objects carry.
import typing

__version__: str
__all__ = [
    "__version__",
    "MitLimits",
    "MitSetpoint",
    "ControlSetpoint",
    "MotorState",
    "Damiao",
    "SocketCanTransport",
    "mit_setpoint",
]

@typing.final
class MitLimits:
    def __new__(
        cls,
        p_max: float = ...,
        v_max: float = ...,
        kp_max: float = ...,
        kd_max: float = ...,
        t_max: float = ...,
    ) -> MitLimits: ...
    @property
    def p_max(self) -> float: ...
    @property
    def v_max(self) -> float: ...
    @property
    def kp_max(self) -> float: ...
    @property
    def kd_max(self) -> float: ...
    @property
    def t_max(self) -> float: ...
    def __repr__(self) -> str: ...
    @staticmethod
    def dm3507() -> MitLimits: ...
    @staticmethod
    def dm4310() -> MitLimits: ...
    @staticmethod
    def dm4310p() -> MitLimits: ...
    @staticmethod
    def dm4340() -> MitLimits: ...
    @staticmethod
    def dm4340p() -> MitLimits: ...
    @staticmethod
    def dm6006() -> MitLimits: ...
    @staticmethod
    def dm6248p() -> MitLimits: ...
    @staticmethod
    def dm8006() -> MitLimits: ...
    @staticmethod
    def dm8009() -> MitLimits: ...
    @staticmethod
    def dm10010() -> MitLimits: ...
    @staticmethod
    def dm10010l() -> MitLimits: ...
    @staticmethod
    def dmg6215() -> MitLimits: ...
    @staticmethod
    def dmh3510() -> MitLimits: ...
    @staticmethod
    def dmh6220() -> MitLimits: ...
    @staticmethod
    def dmjh11() -> MitLimits: ...

@typing.final
class MitSetpoint:
    def __new__(
        cls,
        q: float = ...,
        dq: float = ...,
        kp: float = ...,
        kd: float = ...,
        tau: float = ...,
    ) -> MitSetpoint: ...
    @property
    def q(self) -> float: ...
    @property
    def dq(self) -> float: ...
    @property
    def kp(self) -> float: ...
    @property
    def kd(self) -> float: ...
    @property
    def tau(self) -> float: ...
    def __repr__(self) -> str: ...

@typing.final
class ControlSetpoint:
    @property
    def mode(self) -> int: ...
    @staticmethod
    def mit(setpoint: MitSetpoint) -> ControlSetpoint:
        """MIT impedance setpoint (control mode 1)."""
    @staticmethod
    def pos_vel(position: float, velocity: float) -> ControlSetpoint:
        """POS_VEL setpoint (control mode 2)."""
    @staticmethod
    def vel(velocity: float) -> ControlSetpoint:
        """VEL setpoint (control mode 3)."""
    @staticmethod
    def force_pos(position: float, velocity_limit: float, torque_ratio: float) -> ControlSetpoint:
        """FORCE_POS setpoint (control mode 4)."""
    def __repr__(self) -> str: ...

@typing.final
class MotorState:
    @property
    def motor_id(self) -> int: ...
    @property
    def error(self) -> int: ...
    @property
    def position(self) -> float: ...
    @property
    def velocity(self) -> float: ...
    @property
    def torque(self) -> float: ...
    @property
    def t_mos(self) -> int: ...
    @property
    def t_rotor(self) -> int: ...
    def __repr__(self) -> str: ...

@typing.final
class Damiao:
    def __new__(
        cls,
        motor_id: int,
        master_id: int,
        limits: typing.Optional[MitLimits] = ...,
        timeout_ms: int = ...,
    ) -> Damiao: ...
    @property
    def motor_id(self) -> int: ...
    @property
    def master_id(self) -> int: ...
    def __repr__(self) -> str: ...
    def enable(self, bus: SocketCanTransport) -> MotorState: ...
    def disable(self, bus: SocketCanTransport) -> MotorState: ...
    def set_zero(self, bus: SocketCanTransport) -> MotorState: ...
    def clear_error(self, bus: SocketCanTransport) -> MotorState: ...
    def mit_control(self, bus: SocketCanTransport, setpoint: MitSetpoint) -> MotorState: ...
    def control(self, bus: SocketCanTransport, setpoint: ControlSetpoint) -> MotorState:
        """Unified send: dispatches to MIT / POS_VEL / VEL / FORCE_POS based on
        the `ControlSetpoint` variant. The motor must already be in the
        matching control mode (use `ensure_mit_mode()` or write register 10)."""
    def ensure_mit_mode(self, bus: SocketCanTransport) -> None:
        """Force the firmware into MIT control mode (register 10 = 1). Some
        motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is
        silently ignored."""

@typing.final
class SocketCanTransport:
    def __new__(cls, iface: str) -> SocketCanTransport: ...

def mit_setpoint(
    q: float = ...,
    dq: float = ...,
    kp: float = ...,
    kd: float = ...,
    tau: float = ...,
) -> MitSetpoint:
    """Build a `MitSetpoint` (handy when keyword args are awkward)."""
