import os
import sys

import pytest

# The module under test is the one in this source tree; with
# ONDREL_TEST_INSTALLED=1, the one the interpreter finds (a wheel installed in a
# virtual environment, a Debian package's).
if os.environ.get("ONDREL_TEST_INSTALLED") != "1":
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture(scope="session")
def built_library():
    """The library the tests run against: ONDREL_LIBRARY must name it."""
    path = os.environ.get("ONDREL_LIBRARY")
    if not path or not os.path.isfile(path):
        pytest.fail("ONDREL_LIBRARY must name the built library (for example build/native/bin/libondrel.so)")
    return os.path.abspath(path)
