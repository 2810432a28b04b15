"""The built module needs no C++ runtime: loading libstdc++ (and libgcc_s)
would be most of the import's cost."""
import re
import shutil
import subprocess

import pytest

from conftest import c_sdk

pytestmark = pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf (binutils)")


def needed(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


@pytest.fixture(scope="module")
def module_needs():
    return needed(c_sdk.__file__)


def test_the_sdk_library_is_needed_by_its_soname(module_needs):
    assert "libvy3-c.so" in module_needs


@pytest.mark.parametrize("runtime", ["libstdc++", "libgcc_s"])
def test_no_cxx_runtime_is_needed(module_needs, runtime):
    assert not [lib for lib in module_needs if lib.startswith(runtime)], module_needs
