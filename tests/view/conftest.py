"""Fixtures of velkarin-view's tests: views started and stopped per test (view_helpers.View),
and one headless Chromium for the whole session: starting it takes half a minute inside the bus
guest. Page tests save a screenshot each into build/view-tests (never committed)."""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from view_helpers import View

SHOTS = Path(__file__).resolve().parents[2] / "build" / "view-tests"
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


@pytest.fixture
def start_view(vcan: str) -> Iterator[Any]:
    """start_view(*args) runs velkarin-view; at the end it must stop cleanly on SIGTERM."""
    running: list[View] = []

    def start(*args: str) -> View:
        running.append(View(*args))
        return running[-1]

    yield start
    assert [v.stop() for v in running] == [0] * len(running)


@pytest.fixture(scope="session")
def browser() -> Iterator[Any]:
    """Headless Chromium driven by selenium, Debian's chromium and chromium-driver."""
    if not (shutil.which(CHROMIUM) and shutil.which(CHROMEDRIVER)):
        if os.environ.get("VELKARIN_REQUIRE_BUS") == "1":  # inside tools/vcan-run
            pytest.fail("chromium and chromium-driver are missing (tools/test-all installs them)")
        pytest.skip("needs Debian's chromium and chromium-driver")
    from selenium import webdriver
    from selenium.common.exceptions import SessionNotCreatedException
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # One process and no sandbox: the guest has one CPU and runs everything as root.
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--single-process", "--no-zygote", "--window-size=1300,1000"):
        options.add_argument(arg)
    try:
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    except SessionNotCreatedException:
        # chromedriver gives Chromium a minute to come up, which a stalled guest has outlasted
        # ("chrome not reachable"); a second start is given the same again.
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(180)
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture
def page(browser: Any, request: pytest.FixtureRequest) -> Iterator[Any]:
    """The browser, screenshot taken at the end of the test whatever its outcome."""
    yield browser
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SHOTS / f"{request.node.name}.png"))
    browser.get("about:blank")

