"""The build refuses an interpreter below the supported floor with a message
that says so."""
import glob
import os
import subprocess

import pytest

from conftest import ROOT

OLD = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.[67].*/bin/python3")))


@pytest.mark.skipif(not OLD, reason="no CPython older than 3.8 on this machine")
@pytest.mark.parametrize("python", OLD)
def test_configuring_for_an_older_interpreter_stops_with_a_clear_message(python, tmp_path):
    r = subprocess.run(["cmake", "-S", ROOT, "-B", str(tmp_path), f"-DPython_EXECUTABLE={python}",
                        "-DCSDK_TESTS=OFF"], capture_output=True, text=True, timeout=120)
    assert r.returncode != 0
    message = " ".join(r.stderr.split())
    assert f"c_sdk needs CPython 3.8 or later; {python} is 3." in message
