import glob
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from testbed import Testbed  # noqa: E402

# Set by scripts/ci-stages.sh for the sanitizer builds: the directory that the sanitizers'
# log_path points into. A report written while a test ran fails that test.
REPORTS = os.environ.get("SANITIZER_REPORTS")


@pytest.fixture(autouse=True)
def no_sanitizer_report():
    before = set(glob.glob(os.path.join(REPORTS, "*"))) if REPORTS else set()
    yield
    if REPORTS:
        new = sorted(set(glob.glob(os.path.join(REPORTS, "*"))) - before)
        text = ""
        for path in new:
            with open(path, errors="replace") as f:
                text += f"--- {path}\n{f.read()[:6000]}\n"
        assert not new, "sanitizer report:\n" + text


@pytest.fixture
def bed():
    with Testbed() as b:
        yield b


@pytest.fixture
def two_ports():
    """A daemon namespace with two ports, eth1 and eth0, each with a console of its own."""
    with Testbed(second="eth0") as b:
        yield b


@pytest.fixture
def running(bed):
    bed.start()
    yield bed
