"""Helpers of the tests that record sessions: a staged tree whose
libvy3-c.so is the recording library, runs against it, replays on the
stand-in, and the recordings kept as seeds for the readers' fuzz targets."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import PKG, ROOT, run_python

BUILD = os.path.dirname(PKG)
RECORDER = os.path.join(BUILD, "recorder", "libvy3-c.so")
ALT = os.path.join(BUILD, "alt", "libvy3-c.so")
PARTIAL = os.path.join(BUILD, "recorder", "partial", "libvy3-partial.so")
STANDIN_DIR = os.path.join(ROOT, "standin")
# scripts/fuzz.sh starts its corpora from the recordings the tests made.
SEEDS = os.path.join(BUILD, "fuzz-seeds")


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    """A copy of the importable tree with the recorder beside the module."""
    for lib in (RECORDER, ALT, PARTIAL):
        assert os.path.exists(lib), f"not built: {lib}"
    root = tmp_path_factory.mktemp("staged")
    pkg = root / "pkg"
    shutil.copytree(PKG, pkg, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy2(RECORDER, pkg / "vy" / "csdk" / "libvy3-c.so")
    return str(pkg)


def recorder_env(target=ALT, events=None, calls=None, secrets=None, pythonpath=()):
    """The environment of a run against the recorder; None leaves a variable unset."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("VY_RECORD_")}
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(pythonpath)
    for name, value in (("VY_RECORD_TARGET", target), ("VY_RECORD_EVENTS", events), ("VY_RECORD_CALLS", calls),
                        ("VY_RECORD_SECRETS", secrets)):
        if value is not None:
            env[name] = str(value)
    return env


def run_recorded(staged, code, *, target=ALT, events=None, calls=None, secrets=None, args=()):
    """Runs code against the recorder in a fresh interpreter."""
    env = recorder_env(target, events, calls, secrets, [staged, STANDIN_DIR])
    return subprocess.run([sys.executable, "-c", code] + [str(a) for a in args], capture_output=True, text=True,
                          env=env, timeout=60, cwd=os.path.dirname(staged))


def replay(code, calls, events, *args):
    """Runs code on the stand-in, given the recording's files (and args) as arguments."""
    argv = [str(calls), str(events)] + [str(a) for a in args]
    return run_python(f"import sys\nsys.argv[1:] = {argv!r}\n" + code)


def keep_as_seed(*paths):
    """Copies recordings into the fuzz targets' seed folders (by extension)."""
    for path in paths:
        path = str(path)
        kind = "calls" if path.endswith(".calls") else "events"
        os.makedirs(os.path.join(SEEDS, kind), exist_ok=True)
        name = os.path.basename(os.path.dirname(path)) + "-" + os.path.basename(path)
        shutil.copy2(path, os.path.join(SEEDS, kind, name))
