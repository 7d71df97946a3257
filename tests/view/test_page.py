"""The page in a real browser (headless Chromium) against velkarin-sim on vcan0: its plots update,
a slider moves the motor, STOP and Escape disable it while the plots run, a page that goes away
disables it, watch mode puts nothing on the bus, and without the token nothing is driven.

Each check waits for the event it needs; the bounds are safety nets for a slow guest."""

from __future__ import annotations

import time

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

import canframes
from velkarin import Damiao, MitLimits, MitSetpoint, SocketCanTransport

pytestmark = [pytest.mark.requires_bus, pytest.mark.browser]

BOUND_S = 120.0
MOTOR = "1:0x11:DM4310"
FPS = "fps=5"  # the guest has one CPU for the browser, the view and the simulator
# A screenshot can hold the page's timers, heartbeat included, for seconds in a busy guest: the
# tests that are not about a lost page give it a bound that only a page gone for good reaches.
# The browser shares the guest's one CPU with the loop: replies get half a second.
SLOW_REPLIES = ("--timeout-ms", "500")
PATIENT = ("--lost-after", "60", *SLOW_REPLIES)


def wait_for(what: str, check, bound_s: float = BOUND_S):
    deadline = time.monotonic() + bound_s
    while time.monotonic() < deadline:
        if value := check():
            return value
        time.sleep(0.2)
    raise AssertionError(f"not within {bound_s} s: {what}")


def motor_state(sim) -> str:
    """'enabled' or 'disabled' (or a fault's name), and the position, as the simulator has them."""
    words = sim.command("state 1")[0].split()
    return words[2], float(words[words.index("position") + 1])


def open_page(page, url: str) -> None:
    page.get(url + ("&" if "?" in url else "?") + FPS)
    wait_for("the page connected", lambda: page.find_element(By.ID, "connection").text == "connected"
             and page.find_elements(By.CSS_SELECTOR, ".motor"))


def drawn(page) -> float:
    """The time of the newest sample the plots show (0 before the first)."""
    return float(card(page, "data-last-t") or 0)


def card(page, attribute: str) -> str | None:
    return page.find_element(By.CSS_SELECTOR, ".motor").get_attribute(attribute)


def notes(page) -> str:
    return page.find_element(By.ID, "messages").text


def test_the_plots_update_and_a_slider_moves_the_motor(start_sim, start_view, vcan, page):
    sim = start_sim(MOTOR)
    view = start_view("--iface", vcan, "--motor", MOTOR, "--enable", "--kp", "20", "--kd", "1", *PATIENT)
    open_page(page, view.url)
    plot = page.find_element(By.CSS_SELECTOR, ".chart canvas")
    pixels, shown = plot.screenshot_as_png, drawn(page)
    wait_for("newer samples drawn", lambda: drawn(page) > shown + 1)
    wait_for("the plot redrawn", lambda: plot.screenshot_as_png != pixels)
    wait_for("the motor enabled", lambda: motor_state(sim)[0] == "enabled")
    slider = page.find_element(By.CSS_SELECTOR, ".field-q")
    ActionChains(page).move_to_element_with_offset(slider, slider.size["width"] // 20, 0).click().perform()
    target = float(page.find_element(By.CSS_SELECTOR, ".value-q").get_attribute("value"))
    assert 0.3 < target < 1.5  # a twentieth of the width right of the middle of [-12.5, 12.5]
    wait_for("the motor at the slider's target", lambda: abs(motor_state(sim)[1] - target) < 0.05)


def test_stop_and_escape_disable_the_motor_while_the_plots_run(start_sim, start_view, vcan, page):
    sim = start_sim(MOTOR)
    view = start_view("--iface", vcan, "--motor", MOTOR, "--enable", "--kp", "20", "--kd", "1",
                      "--signal", "sine:0.5:1", *PATIENT)
    open_page(page, view.url)
    presses = (lambda: ActionChains(page).send_keys(Keys.ESCAPE).perform(),
               lambda: page.find_element(By.ID, "stop").click())
    for n, press in enumerate(presses, 1):
        wait_for("the motor enabled", lambda: motor_state(sim)[0] == "enabled")
        shown = drawn(page)
        wait_for("the plots running", lambda: drawn(page) > shown)
        press()
        # Below the view's 60 s lost-page bound: only the press can have disabled the motor.
        wait_for("the motor disabled", lambda: motor_state(sim)[0] == "disabled", bound_s=30.0)
        wait_for("the page's report", lambda: notes(page).count("motors disabled in") == n)
        page.find_element(By.CSS_SELECTOR, "[data-do=enable]").click()


def enabled_while_the_page_lives(page, sim) -> None:
    """Waits for the motor enabled with the page open. A guest that holds the page's heartbeat past
    the bound has the view disable the motor, as it must, and a start's enable can time out: each
    new note on the page while the motor is not enabled (the stop's report, the enable's error)
    has the enable clicked again."""
    newest = ""

    def enabled() -> bool:
        nonlocal newest
        if motor_state(sim)[0] == "enabled":
            return True
        if (shown := notes(page).partition("\n")[0]) != newest:
            newest = shown
            page.find_element(By.CSS_SELECTOR, "[data-do=enable]").click()
        return False

    wait_for("the motor enabled", enabled)


def test_a_page_that_goes_away_disables_the_motor(start_sim, start_view, vcan, page):
    sim = start_sim(MOTOR)
    # Five seconds: a busy guest can hold the page's heartbeat for a second or two while it lives.
    view = start_view("--iface", vcan, "--motor", MOTOR, "--enable", "--kp", "20", "--kd", "1", "--lost-after", "5", *SLOW_REPLIES)
    open_page(page, view.url)
    enabled_while_the_page_lives(page, sim)
    page.get("about:blank")
    wait_for("the motor disabled", lambda: motor_state(sim)[0] == "disabled", bound_s=30.0)


def test_watch_mode_overlays_another_programs_commands_and_sends_nothing(start_sim, start_view, vcan, raw_peer, page):
    start_sim(MOTOR)
    view = start_view("--watch", "--iface", vcan, "--motor", MOTOR)
    bus, motor = SocketCanTransport(vcan), Damiao(1, 0x11, MitLimits.dm4310(), timeout_ms=1000)
    motor.enable(bus)
    open_page(page, view.url)
    page.execute_script("send({type: 'enable', motor: 0}); send({type: 'record', action: 'start'})")
    wait_for("the refusal", lambda: "watch mode: this view sends nothing" in notes(page))
    commands, deadline = 0, time.monotonic() + BOUND_S
    while not int(card(page, "data-targets") or 0):  # the page overlays the commands it decoded
        motor.mit_control(bus, MitSetpoint(q=0.2, kp=5, kd=0.5))
        commands += 1
        assert time.monotonic() < deadline, "the page never showed a decoded command"
    motor.disable(bus)
    seen = [(f.can_id, f.data[7] if f.data[:7] == b"\xff" * 7 else None) for f in canframes.drain(raw_peer)]
    sent = [(0x001, 0xFC)] + [(0x001, None)] * commands + [(0x001, 0xFD)]
    assert [s for s in seen if s[0] == 0x001] == sent
    assert [s[0] for s in seen if s[0] != 0x001] == [0x011] * len(sent)  # one reply each, nothing else


def test_without_the_token_a_control_action_is_refused(start_sim, start_view, vcan, page):
    sim = start_sim(MOTOR)
    view = start_view("--iface", vcan, "--motor", MOTOR, "--listen", "127.0.0.1", *PATIENT)
    open_page(page, view.base)
    page.find_element(By.CSS_SELECTOR, "[data-do=enable]").click()
    wait_for("the refusal", lambda: "this page may not drive" in notes(page))
    assert motor_state(sim)[0] == "disabled"
    open_page(page, view.url)  # the address with the token
    page.find_element(By.CSS_SELECTOR, "[data-do=enable]").click()
    wait_for("the motor enabled", lambda: motor_state(sim)[0] == "enabled")
