"""The bus object SocketCanTransport: its constructor's messages, the OSError of a failed open
without a descriptor left behind, and on the virtual bus its socket's life and closed shape."""

from __future__ import annotations

import errno
import os
import re
import time

import pytest

import canframes
from responder import Out, Responder, Rule
from velkarin import Damiao, SocketCanTransport


def open_fds() -> set[int]:
    return {int(name) for name in os.listdir("/proc/self/fd")}


def sockets() -> set[str]:
    """The kernel sockets this process holds, as their "socket:[inode]" names."""
    found = set()
    for fd in open_fds():
        try:
            link = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # the descriptor listdir itself used is gone by now
            continue
        if link.startswith("socket:"):
            found.add(link)
    return found


def os_error_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


# ------------------------------------------------------------------------------------------
# Constructor arguments (no bus needed).


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "SocketCanTransport.__new__() missing 1 required positional argument: 'iface'"),
        (("a", "b"), {},
         "SocketCanTransport.__new__() takes 1 positional arguments but 2 were given"),
        ((), {"name": "x"},
         "SocketCanTransport.__new__() got an unexpected keyword argument 'name'"),
        (("a",), {"iface": "b"},
         "SocketCanTransport.__new__() got multiple values for argument 'iface'"),
        ((0,), {}, "argument 'iface': 'int' object cannot be converted to 'PyString'"),
        ((None,), {}, "argument 'iface': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"vcan0",), {}, "argument 'iface': 'bytes' object cannot be converted to 'PyString'"),
        ((), {"iface": ["vcan0"]},
         "argument 'iface': 'list' object cannot be converted to 'PyString'"),
    ],
    ids=["missing", "too-many", "unexpected-keyword", "multiple-values", "int", "None", "bytes",
         "list"],
)  # fmt: skip
def test_constructor_arguments_that_do_not_fit_raise_the_fixed_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        SocketCanTransport(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("iface", "code"),
    [
        ("nosuchif", errno.ENODEV),
        ("", errno.ENODEV),
        ("x" * 15, errno.ENODEV),  # the longest name that fits IFNAMSIZ
        ("x" * 16, errno.ENODEV),  # too long to exist at all
        ("a\x00b", errno.EINVAL),
        ("vcan0\x00", errno.EINVAL),  # would name vcan0 if the NUL were dropped
    ],
    ids=["nosuchif", "empty", "15-chars", "16-chars", "nul-inside", "nul-at-end"],
)
def test_a_failed_open_raises_a_plain_os_error_with_the_system_text(iface, code):
    with pytest.raises(OSError) as caught:
        SocketCanTransport(iface)
    e = caught.value
    assert type(e) is OSError
    assert str(e) == os_error_text(code)
    assert e.args == (os_error_text(code),)
    assert e.errno is None and e.strerror is None
    assert e.__cause__ is None and e.__context__ is None


def test_a_missing_interface_gives_the_enodev_text_with_number_19():
    with pytest.raises(OSError) as caught:
        SocketCanTransport("nosuchif")
    assert str(caught.value) == os.strerror(errno.ENODEV) + " (os error 19)"


def test_a_name_with_a_lone_surrogate_raises_the_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError) as caught:
        SocketCanTransport("vcan\udc800")
    assert caught.value.encoding == "utf-8"


# "lo" resolves, so the socket call (no CAN on the host kernel) or the bind (not a CAN device)
# fails after the name lookup: the path that must close a descriptor it already holds.
@pytest.mark.parametrize("iface", ["nosuchif", "a\x00b", "x" * 16, "lo", "vcan\udc80"])
def test_failed_opens_leave_no_descriptor_open(iface):
    before = open_fds()
    # Each lookup of a missing name makes the kernel ask modprobe for it: slow in the guest.
    for _ in range(50):
        with pytest.raises((OSError, UnicodeEncodeError)):
            SocketCanTransport(iface)
    assert open_fds() == before


# ------------------------------------------------------------------------------------------
# On the virtual bus.


def test_open_by_keyword_gives_a_bus_object_with_one_new_socket(vcan):
    before = sockets()
    bus = SocketCanTransport(iface=vcan)
    assert type(bus) is SocketCanTransport
    assert len(sockets() - before) == 1
    del bus


def test_dropping_the_last_reference_closes_the_socket_at_once(vcan):
    before = sockets()
    bus = SocketCanTransport(vcan)
    (socket,) = sockets() - before
    alias = bus
    del bus
    assert socket in sockets()  # still referenced
    del alias
    assert socket not in sockets()  # closed by the release itself, not by a later collection


def test_many_buses_opened_and_dropped_leave_no_descriptor(vcan):
    before = open_fds()
    for _ in range(200):
        SocketCanTransport(vcan)
    assert open_fds() == before


def test_two_bus_objects_on_one_interface_are_independent_sockets(vcan, raw_peer):
    before = sockets()
    first, second = SocketCanTransport(vcan), SocketCanTransport(vcan)
    assert len(sockets() - before) == 2
    assert first is not second and first != second

    del first  # closing one leaves the other working
    assert len(sockets() - before) == 1
    raw_peer.send(canframes.pack_classic(0x12, bytes.fromhex("027FFF7FF7FF1E1C")))
    state = Damiao(2, 0x12, timeout_ms=1000).enable(second)
    assert (state.motor_id, state.t_mos) == (2, 30)
    sent = canframes.recv_frame(raw_peer)
    assert (sent.can_id, sent.data) == (2, bytes.fromhex("FFFFFFFFFFFFFFFC"))


def test_a_bus_object_has_the_default_repr_and_identity_comparison(vcan):
    bus = SocketCanTransport(vcan)
    assert repr(bus) == object.__repr__(bus)
    assert re.fullmatch(r"<velkarin\.SocketCanTransport object at 0x[0-9a-f]+>", repr(bus))
    assert str(bus) == repr(bus)
    assert bus == bus and hash(bus) == object.__hash__(bus)


def test_a_bus_object_takes_no_attributes(vcan):
    bus = SocketCanTransport(vcan)
    for name in ("iface", "closed", "__dict__"):
        with pytest.raises(AttributeError):
            setattr(bus, name, 1)
        assert not hasattr(bus, name)


def test_the_bus_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="is not an acceptable base type"):

        class Bus(SocketCanTransport):
            pass


def test_a_failed_command_leaves_the_bus_usable(vcan, raw_peer):
    motor = Responder(vcan)  # silent at the first disable, answers the second
    try:
        motor.script([Rule(0x003, times=1), Rule(0x003, [Out(0x13, bytes.fromhex("037FFF7FF7FF1E1C"))])])
        bus = SocketCanTransport(vcan)
        with pytest.raises(RuntimeError, match="^transport error: timeout waiting for frame$"):
            Damiao(3, 0x13, timeout_ms=20).disable(bus)
        assert canframes.recv_frame(raw_peer).data == bytes.fromhex("FFFFFFFFFFFFFFFD")
        time.sleep(0.04)  # past the window in which a reply could still be the first one's
        assert Damiao(3, 0x13, timeout_ms=1000).disable(bus).motor_id == 3
    finally:
        motor.close()
