"""The view on vcan0 against velkarin-sim, without a browser: a recording holds every reply of its
window, in order, none skipped (a raw socket records the bus for comparison); the page is told
why a message was refused; registers go through velkarin-tool while no motor is enabled."""

from __future__ import annotations

import asyncio
import socket
import urllib.request

import canframes
import velkarin_group
from velkarin import Damiao, MitLimits
from velkarin_view.recording import CSV_HEADER, f32_text
from view_helpers import Client

MOTOR = Damiao(1, 0x11, MitLimits.dm4310())  # reads the recorded frames, never sends
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)


def test_a_recording_holds_every_reply_of_its_window(vcan, start_sim, start_view):
    sim = start_sim("1:0x11:DM4310")
    with canframes.open_raw_socket(vcan) as bus:
        bus.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16 << 20)  # holds the whole run, unread
        csv = record(vcan, start_view)
        on_bus = canframes.drain(bus)
    assert sim.command("state 1")[0].startswith("motor 1: enabled")
    header, *rows = csv.splitlines(keepends=True)
    assert header == CSV_HEADER and len(rows) > 10
    replies = []
    for f in on_bus:
        seen = velkarin_group.read_frame(MOTOR, f.can_id, f.data)
        if seen is not None and seen[0] == "feedback":
            fb = seen[1]
            replies.append(f"1,{fb.error},{f32_text(fb.position)},{f32_text(fb.velocity)},"
                           f"{f32_text(fb.torque)},{fb.t_mos},{fb.t_rotor}\n")
    recorded = [row.split(",", 1)[1] for row in rows]
    # The recording is one unbroken run of the bus's replies. A motor at rest answers the same
    # text many times, so the run is looked for at every start, not at the first equal reply.
    n = len(recorded)
    assert any(replies[i:i + n] == recorded for i in range(len(replies) - n + 1))


def record(vcan: str, start_view) -> str:
    """A run that refuses a bad message, then records two seconds; the recording's CSV."""
    # Slow rounds with a reply time-out no busy guest reaches: a late reply, which the loop drops,
    # would be on the bus but rightly not in the recording.
    view = start_view("--iface", vcan, "--motor", "1:0x11:DM4310", "--rate", "50", "--timeout-ms", "1000",
                      "--enable", "--kp", "20", "--kd", "1", "--signal", "sine:0.5:2", "--record-seconds", "2")

    async def drive() -> None:
        async with Client(view.url) as page:
            await page.wait("control", lambda m: m["motors"][0]["signal"] is not None)
            await page.send({"type": "setpoint", "motor": 0, "mode": "mit", "fields": {"kp": 900}})
            assert "kp must be in [0, 500]" in (await page.wait("error"))["message"]
            await page.send({"type": "record", "action": "start"})
            await page.wait("stats", lambda m: not m["recording"]["recording"] and m["recording"]["samples"])

    asyncio.run(drive())
    with urllib.request.urlopen(view.base + "recording.csv") as response:
        return response.read().decode()


async def ask(page: Client, message: dict, kind: str) -> dict:
    """The reply to one command: `kind` (registers, done) or the error."""
    await page.send(message)
    return await page.wait((kind, "error"))


def test_registers_are_read_written_and_stored_through_the_tool_while_no_motor_is_enabled(vcan, start_sim, start_view):
    sim = start_sim("1:0x11:DM4310")
    view = start_view("--iface", vcan, "--motor", "1:0x11:DM4310")
    far = {"type": "setpoint", "motor": 0, "mode": "mit", "fields": {"q": 15}}

    async def drive() -> None:
        async with Client(view.url) as page:
            read = await ask(page, {"type": "read_registers", "motor": 0}, "registers")
            assert (len(read["registers"]), read["registers"]["OT_Value"]) == (45, 120)
            assert "q must be in [-12.5, 12.5]" in (await ask(page, far, "done"))["message"]
            written = await ask(page, {"type": "write_register", "motor": 0, "register": "PMAX", "value": 20}, "registers")
            assert written["registers"] == {"PMAX": 20}
            assert (await ask(page, far, "done"))["type"] == "done"  # the motor's new limit holds
            mode = await ask(page, {"type": "mode", "motor": 0, "mode": "vel"}, "registers")
            assert mode["registers"] == {"CTRL_MODE": 3}
            enabled = await ask(page, {"type": "enable", "motor": 0}, "done")
            assert enabled["type"] == "done", enabled
            refused = await ask(page, {"type": "store", "motor": 0, "confirmed": True}, "done")
            assert "disable every motor first" in refused["message"]
            await ask(page, {"type": "disable", "motor": 0}, "done")
            stored = await ask(page, {"type": "store", "motor": 0, "confirmed": True}, "done")
            assert "stored to flash" in stored["text"]

    asyncio.run(drive())
    assert " mode 3 " in sim.command("state 1")[0]
