import glob
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from testbed import Testbed  # noqa: E402

# Set by scripts/ci-stages.sh for the sanitizer builds: the directory that the sanitizers'
# log_path points into. A report written while a test ran fails that test. Test files run side by
# side (ctest -j): the programs this process starts report under a name of its own, so that a
# report fails the test that caused it and no other.
REPORTS = os.environ.get("SANITIZER_REPORTS")
OWN = f"pytest-{os.getpid()}-"
if REPORTS:
    for options in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
        if options in os.environ:
            os.environ[options] = os.environ[options].replace(f"log_path={REPORTS}/",
                                                              f"log_path={REPORTS}/{OWN}")

# Set by CMakeLists.txt where a file runs as several ctest entries: "i/n" keeps every n-th test
# from the i-th on, in the order of collection.
PART = os.environ.get("DISCOVERY_TEST_PART")


def pytest_collection_modifyitems(config, items):
    if PART:
        first, step = map(int, PART.split("/"))
        config.hook.pytest_deselected(items=[t for i, t in enumerate(items) if i % step != first])
        items[:] = items[first::step]


@pytest.fixture(autouse=True)
def no_sanitizer_report():
    pattern = os.path.join(REPORTS, OWN + "*") if REPORTS else None
    before = set(glob.glob(pattern)) if REPORTS else set()
    yield
    if REPORTS:
        new = sorted(set(glob.glob(pattern)) - before)
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
