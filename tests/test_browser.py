"""The example application in a real browser: headless Chromium, driven through its driver, submits
the page's upload form with a file and reads the server-sent clock on the page."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium (a dev extra) drives the browser")
from selenium.webdriver.common.by import By  # noqa: E402

from test_serving import free_port, stop_server  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

pytestmark = pytest.mark.skipif(
    not (shutil.which("chromium") and shutil.which("chromedriver")), reason="chromium and its driver are not installed"
)


@pytest.fixture(scope="module")
def example_url():
    import quillmoth

    port = free_port()
    package_root = str(Path(quillmoth.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=package_root)
    process = subprocess.Popen([sys.executable, "-m", "uvicorn", "app:app", "--host", "127.0.0.1", "--port", str(port),
                                "--log-level", "warning"], cwd=EXAMPLES, env=env, stderr=subprocess.PIPE)
    url = f"http://127.0.0.1:{port}"
    import socket

    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            break
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                stop_server(process)
                raise RuntimeError(f"the example app did not start: {process.stderr.read().decode(errors='replace')}")
            time.sleep(0.05)
    yield url
    stop_server(process)


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    # The browser never runs under the sanitizer runtime a sanitizer run preloads into the tests.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    service = webdriver.ChromeService(executable_path=shutil.which("chromedriver"), env=env)
    driver = webdriver.Chrome(options=options, service=service)
    driver.set_page_load_timeout(30)
    try:
        yield driver
    finally:
        pid = driver.service.process.pid if driver.service.process else None
        driver.quit()
        if pid:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def test_upload_form_and_live_clock(example_url, browser, tmp_path):
    upload = tmp_path / "moths.txt"
    upload.write_bytes(b"Luna, Atlas, Comet\n" * 100)

    browser.get(example_url + "/")
    # The clock: at least three events arrive and are shown.
    deadline = time.monotonic() + 20
    while int(browser.find_element(By.ID, "ticks").text) < 3:
        assert time.monotonic() < deadline, "fewer than three clock events in 20 s"
        time.sleep(0.2)
    assert "T" in browser.find_element(By.ID, "clock").text  # an ISO time

    browser.find_element(By.NAME, "file").send_keys(str(upload))
    browser.find_element(By.ID, "upload").submit()
    deadline = time.monotonic() + 20
    while "/upload" not in browser.current_url:
        assert time.monotonic() < deadline
        time.sleep(0.1)
    answer = json.loads(browser.find_element(By.TAG_NAME, "body").text)
    assert answer == {"title": "notes", "files": {"moths.txt": upload.stat().st_size}}
