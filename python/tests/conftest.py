"""The simulated instrument's library, loaded once, and a fresh instrument for every test.

The library is the one MV620_SIM_LIBRARY names (the CI stage points it at the build it just
made), else the installed one.
"""

import os
import signal
import sys
import time
from pathlib import Path

import pytest

import mv620
from mv620 import _loader

PACKAGE_ROOT = Path(__file__).resolve().parent.parent


def interruptible():
    """For a child that a test sends Ctrl-C: it starts with Ctrl-C's default handling, as from a
    terminal. A test run started as a background job of a shell inherits Ctrl-C ignored, and a
    child would keep that until the tool sets its own handler, missing an early Ctrl-C."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def wait_until(condition, what, deadline=60.0):
    """Waits for ``condition()``; the deadline only guards against a hang."""
    end = time.monotonic() + deadline
    while not condition():
        if time.monotonic() > end:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.005)


@pytest.fixture(scope="session")
def sim_library_path():
    try:
        return _loader.locate(sim=True)
    except mv620.LibraryError as error:
        pytest.exit(f"{error} (build it: cmake --build build --target MV620ACQm-sim)",
                    returncode=4)


@pytest.fixture
def instrument(sim_library_path):
    """The simulated instrument as after load: no acquisition, every channel off, the test
    defaults (identify pattern, blocks as fast as read), busy waits on the virtual clock.
    Afterwards no connection may be left open and no request may have been malformed."""
    instrument = mv620.Instrument(sim_library_path)
    instrument.stop()
    instrument.set_rates({}, others_off=True)
    instrument.sim.reset()
    instrument.sim.set_virtual_clock(True)
    yield instrument
    instrument.stop()
    instrument._library.acquisition = None
    wait_until(lambda: instrument.sim.open_handles() == 0, "the connections to close")
    assert instrument.sim.malformed_requests() == 0


@pytest.fixture
def cli(sim_library_path, tmp_path):
    """Runs ``python3 -m mv620`` in a scratch folder against the simulated instrument."""
    import subprocess

    def run(*args, env=None, **options):
        environment = {
            **os.environ,
            "PYTHONPATH": str(PACKAGE_ROOT),
            "MV620_SIM_LIBRARY": sim_library_path,
            "MV620SIM_VIRTUAL_CLOCK": "1",
            **(env or {}),
        }
        return subprocess.run([sys.executable, "-m", "mv620", *args], cwd=tmp_path,
                              env=environment, capture_output=True, text=True, timeout=300,
                              **options)

    run.folder = tmp_path
    run.environment = lambda: {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT),
                               "MV620_SIM_LIBRARY": sim_library_path}
    return run
