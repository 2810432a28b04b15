"""Shared fixtures: the built module, the stand-in library's control API, and
subprocess runs for the cases that may crash or end the process."""
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The importable tree of the build under test (set by scripts/test.sh).
PKG = os.environ.get("CSDK_PKG", os.path.join(ROOT, "build", "deb", "pkg"))
for path in (PKG, os.path.join(ROOT, "standin")):
    if path not in sys.path:
        sys.path.insert(0, path)

import vy.csdk.c_sdk as c_sdk  # noqa: E402
import vystandin  # noqa: E402

IS_DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
IS_FREE_THREADED = bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED"))


class Sink:
    """An event callable that records (msg_type, payload) and can react."""

    def __init__(self, on_event=None):
        self.events = []
        self.on_event = on_event

    def __call__(self, msg_type, payload):
        self.events.append((msg_type, payload))
        if self.on_event:
            self.on_event(msg_type, payload)


@pytest.fixture(autouse=True, scope="session")
def gil_stays_off():
    """On a free-threaded build nothing the suite imports may turn the GIL
    back on (the module declares it runs without it): checked at the end."""
    yield
    if IS_FREE_THREADED and os.environ.get("PYTHON_GIL") != "1":
        assert not sys._is_gil_enabled(), "the GIL was turned back on during the run"


@pytest.fixture
def sdk():
    return c_sdk


@pytest.fixture
def lib():
    """The stand-in library, reset before and after each test."""
    s = vystandin.StandIn()
    s.reset()
    yield s
    s.reset()


@pytest.fixture
def sink(lib, fresh_globals):
    """A recording callable registered as the event callable."""
    s = Sink()
    c_sdk.py_vyi_set_data_callback(s)
    return s


@pytest.fixture
def fresh_globals():
    """Restores every module global a test rebinds or deletes."""
    saved = dict(vars(c_sdk))
    yield c_sdk
    ns = vars(c_sdk)
    # Compared by identity (a value's own __eq__ may lie or raise); the
    # binding order is restored too.
    if list(ns) != list(saved) or any(ns[k] is not v for k, v in saved.items()):
        ns.clear()
        ns.update(saved)


def run_python(code, *, env=None, timeout=60):
    """Runs code in a fresh interpreter with the build under test importable.
    A crash shows up as a failing return code, not as a dead test run."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join([PKG, os.path.join(ROOT, "standin")])
    for name, value in (env or {}).items():  # None removes a variable
        if value is None:
            full_env.pop(name, None)
        else:
            full_env[name] = value
    # Run outside the source tree.
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout, cwd=os.path.dirname(PKG))


def refcount_growth(action, loops=200, rounds=3):
    """The smallest growth of the interpreter's total reference count over a
    few rounds of `loops` calls, after a warm-up; a leak of one reference per
    call shows up as `loops` or more.  Debug interpreter only."""
    import gc
    for _ in range(loops):
        action()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(loops):
            action()
        gc.collect()
        growth.append(sys.gettotalrefcount() - before)
    return min(growth)


def raising(fn, *args, **kwargs):
    """An action that calls fn and swallows the exception it is meant to raise."""
    def action():
        try:
            fn(*args, **kwargs)
        except Exception:
            pass
    return action


needs_debug_build = pytest.mark.skipif(not IS_DEBUG_BUILD, reason="needs the debug interpreter")


def traceback_names(excinfo):
    """Function names of an exception's traceback entries, outermost first."""
    names, tb = [], excinfo.tb
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def type_error_message(fn, args, kwargs):
    """The TypeError message of fn(*args, **kwargs), or None if the call passes
    its argument checks (a call that gets that far may raise anything else)."""
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


def export_arity(fn):
    """A direct export's parameter count, read from its signature docstring."""
    return fn.__doc__.split("->")[0].count(":")
