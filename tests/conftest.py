import importlib
import os
import sys

import pytest


def pytest_addoption(parser):
    parser.addoption(
        "--fault-campaign",
        choices=("sampled", "full"),
        default="sampled",
        help="how many system calls the fault-injection campaign hits (see tests/test_faults.py)",
    )


@pytest.fixture
def store_path(tmp_path):
    """Base path of a fresh store in its own directory."""
    return str(tmp_path / "geo.db")


@pytest.fixture(scope="session")
def probe():
    """The test-only module that reaches the metadata conversions directly.

    scripts/test.sh builds it and points ORBISK_PROBE_DIR at it; running the
    metadata tests without it is an error, not a skip.
    """
    directory = os.environ.get("ORBISK_PROBE_DIR")
    if not directory:
        pytest.fail("ORBISK_PROBE_DIR is not set: run the suite through scripts/test.sh")
    sys.path.insert(0, directory)
    try:
        return importlib.import_module("_orbisk_probe")
    finally:
        sys.path.remove(directory)
