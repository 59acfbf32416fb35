import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from testbed import Testbed  # noqa: E402


@pytest.fixture
def bed():
    with Testbed() as b:
        yield b


@pytest.fixture
def running(bed):
    bed.start()
    yield bed
