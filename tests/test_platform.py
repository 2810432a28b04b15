"""is_windows() and is_linux() read platform.uname() at every call."""
import sys

import pytest

from conftest import c_sdk


class FakePlatform:
    def __init__(self, system):
        self.system = system

    def uname(self):
        return (self.system, "node")


def test_this_host():
    assert c_sdk.is_linux() is (sys.platform == "linux")
    assert c_sdk.is_windows() is False


@pytest.mark.parametrize("system, windows, linux", [
    ("Windows", True, False), ("WINDOWS", True, False), ("Linux", False, True),
    ("Darwin", False, False), ("", False, False),
])
def test_rebound_platform(fresh_globals, system, windows, linux):
    c_sdk.platform = FakePlatform(system)
    assert (c_sdk.is_windows(), c_sdk.is_linux()) == (windows, linux)


def test_failures_propagate(fresh_globals):
    c_sdk.platform = FakePlatform(None)
    with pytest.raises(AttributeError):
        c_sdk.is_linux()
    del c_sdk.platform
    with pytest.raises(NameError, match="name 'platform' is not defined"):
        c_sdk.is_windows()
    with pytest.raises(TypeError):
        c_sdk.is_linux(1)
