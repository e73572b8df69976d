"""Fixtures of the Python tests: real recordings copied to a scratch directory
(their index side files land there), and simulated cameras."""

import itertools
import os
import pathlib
import shutil

import pytest

import orvane

_HERE = pathlib.Path(__file__).resolve().parent
_DATA = pathlib.Path(os.environ.get("ORVANE_TEST_DATA", _HERE.parents[2] / "shared" / "data" / "evt3"))
_serials = itertools.count()


@pytest.fixture(scope="session")
def recordings(tmp_path_factory):
    """Copies of the real camera recordings, or a skip where they are absent."""
    paths = sorted(_DATA.glob("*.raw"))
    if not paths:
        pytest.skip(f"no real recordings in {_DATA} (set ORVANE_TEST_DATA)")
    scratch = tmp_path_factory.mktemp("recordings")
    return [str(shutil.copy(path, scratch)) for path in paths]


@pytest.fixture
def camera():
    """An opened simulated EVK4 with a serial of its own, unplugged afterwards."""
    serial = f"PYTEST-{os.getpid()}-{next(_serials)}"
    orvane.sim.plug(product="evk4", serial=serial, rate=2e6, scene="bar", sleep_delays=False)
    try:
        with orvane.CameraManager().open(serial) as cam:
            yield cam
    finally:
        orvane.sim.unplug(serial)
