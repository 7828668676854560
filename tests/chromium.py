"""Headless Chromium under Selenium, for the browser tests and benchmarks of
`kivtool view`: Debian's `chromium` and `chromium-driver`, found on PATH."""

from __future__ import annotations

import os
import shutil
from typing import Any, List, Tuple


def missing() -> List[str]:
    """What is not installed of selenium, Chromium and its driver."""
    absent = []
    try:
        import selenium  # noqa: F401
    except ImportError:
        absent.append("selenium (the test extra)")
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        absent.append("chromium")
    if not shutil.which("chromedriver"):
        absent.append("chromium-driver")
    return absent


def start(size: Tuple[int, int] = (1400, 900)) -> Any:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or shutil.which("chromium-browser") or "chromium"
    for argument in (
        "--headless=new",
        "--no-sandbox",  # we run as root
        "--disable-gpu",
        "--disable-dev-shm-usage",
        f"--window-size={size[0]},{size[1]}",
    ):
        options.add_argument(argument)
    # The console, for the tests that check the page logs no refusals.
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The sanitizer run preloads its runtimes into Python; the browser is
    # not built for them.
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver"), env=environment), options=options)
    driver.set_script_timeout(120)
    return driver
