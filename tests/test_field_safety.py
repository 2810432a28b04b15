"""What a live strategy process meets outside the lab: sub-interpreters made
elsewhere in the process, Ctrl-C and sys.exit() inside the run loop, and host
code that copies or weak-references the module's callables.  Every case that
could crash or end the process runs in a fresh interpreter."""
import copy
import sys
import weakref

import pytest

from conftest import c_sdk, run_python

DROPPED = "arrived on a thread that does not hold the interpreter lock; dropped"

# Creates and destroys one sub-interpreter, with whichever module this
# interpreter has for it; afterwards PyGILState_Check() answers 1 everywhere.
SUBINTERPRETER = """
try:
    import _interpreters as _subs
except ImportError:
    import _xxsubinterpreters as _subs
_subs.destroy(_subs.create())
"""

GUARD_SCRIPT = """
import ctypes
import vy.csdk.c_sdk as c_sdk, vystandin
lib = vystandin.StandIn(); lib.reset()
# A second handle on the same library whose calls release the interpreter lock.
releasing = ctypes.CDLL(lib.lib._name)
got = []
c_sdk.py_vyi_set_data_callback(lambda t, p: got.append(t))
if {subinterpreter}:
{subinterpreter_code}
def foreign(name):
    if "{handle}" == "keeps":
        lib.deliver_from_thread(name, b"payload")
    else:
        releasing.vys_deliver_from_thread(name.encode(), b"payload", 7)
if "{when}" == "outside":
    foreign("foreign")
else:
    def during(t, p):
        got.append(t)
        if t == "first":
            foreign("foreign")
    c_sdk.py_vyi_set_data_callback(during)
lib.push_event("first", b"")
lib.push_event("second", b"")
print("run", c_sdk.py_vyi_run())
print("got", got)
"""


@pytest.mark.parametrize("subinterpreter", [False, True], ids=["no-subinterpreter", "after-subinterpreter"])
@pytest.mark.parametrize("handle", ["keeps", "releases"])
@pytest.mark.parametrize("when", ["outside", "during-run"])
def test_foreign_thread_events_are_dropped(subinterpreter, handle, when):
    code = "\n".join("    " + line for line in SUBINTERPRETER.strip().splitlines())
    r = run_python(GUARD_SCRIPT.format(subinterpreter=subinterpreter, subinterpreter_code=code,
                                       handle=handle, when=when))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["run 0", "got ['first', 'second']"]
    assert r.stderr.count(DROPPED) == 1
    assert "event 'foreign' " + DROPPED in r.stderr


# The library calling back on the thread that holds the lock reaches the
# callable: inside a module call (the run), and outside one (the library's
# loop entered through ctypes, which keeps the lock held).
HOLDER_SCRIPT = """
import vy.csdk.c_sdk as c_sdk, vystandin
lib = vystandin.StandIn(); lib.reset()
got = []
c_sdk.py_vyi_set_data_callback(lambda t, p: got.append((t, p)))
if {subinterpreter}:
{subinterpreter_code}
lib.push_event("inside", b"1")
c_sdk.py_vyi_run()
lib.push_event("outside", b"2")
lib.lib.vyi_run()
print(got)
"""


@pytest.mark.parametrize("subinterpreter", [False, True], ids=["no-subinterpreter", "after-subinterpreter"])
def test_events_on_the_lock_holding_thread_are_delivered(subinterpreter):
    code = "\n".join("    " + line for line in SUBINTERPRETER.strip().splitlines())
    r = run_python(HOLDER_SCRIPT.format(subinterpreter=subinterpreter, subinterpreter_code=code))
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[('inside', b'1'), ('outside', b'2')]"
    assert DROPPED not in r.stderr


# ---- stopping the run ---------------------------------------------------------

STOP_SCRIPT = """
import os, signal, sys, threading
import vy.csdk.c_sdk as c_sdk, vystandin
# The interpreter's own Ctrl-C handler, as a foreground process has it (a
# background job of a shell starts with SIGINT ignored).
signal.signal(signal.SIGINT, signal.default_int_handler)
lib = vystandin.StandIn(); lib.reset()
seen = []

def callable_(t, p):
    seen.append(t)
    if len(seen) == 10:
        {action}

c_sdk.py_vyi_set_data_callback(callable_)
for i in range(100):
    lib.push_event("tick", b"%d" % i)

def run():
    try:
        print("returned", c_sdk.py_vyi_run())
    except BaseException as e:
        print("raised", type(e).__name__, e.args)
        {reraise}
    finally:
        print("finally", len(seen), lib.pending_events(), flush=True)
        print("journal", [c.fn for c in lib.journal()], flush=True)

{runner}
print("after", flush=True)
"""

STOP_CASES = {
    # action, reraise, runner, expected output lines, return code
    "sigint": ("os.kill(os.getpid(), signal.SIGINT)", "", "run()",
               ["raised KeyboardInterrupt ()"], 0),
    "exit": ("sys.exit(7)", "", "run()", ["raised SystemExit (7,)"], 0),
    "exit uncaught": ("sys.exit(7)", "raise", "run()", ["raised SystemExit (7,)"], 7),
    "exit message": ("sys.exit('bye')", "raise", "run()", ["raised SystemExit ('bye',)"], 1),
    "exit on a worker thread": ("sys.exit(7)", "raise", "t = threading.Thread(target=run); t.start(); t.join()",
                                ["raised SystemExit (7,)"], 0),
    "interrupt raised": ("raise KeyboardInterrupt", "", "run()", ["raised KeyboardInterrupt ()"], 0),
}


@pytest.mark.parametrize("case", list(STOP_CASES))
def test_stopping_exceptions_end_the_run_and_reach_the_caller(case):
    action, reraise, runner, expected, code = STOP_CASES[case]
    r = run_python(STOP_SCRIPT.format(action=action, reraise=reraise, runner=runner), timeout=30)
    assert r.returncode == code, r.stderr
    out = r.stdout.splitlines()
    assert out[0] == expected[0]
    delivered, pending = map(int, out[1].split()[1:])
    # The run stopped: fewer events delivered than programmed.
    assert 10 <= delivered < 100 and delivered + pending == 100
    assert out[2].endswith("'vyi_run', 'vyi_stop']")
    assert ("after" in out) == (code == 0)
    # Not printed by the bridge: it went on to the caller.
    assert "c_sdk.callback_wrapper" not in r.stderr
    if case == "exit message":
        assert r.stderr.strip().endswith("bye")


def test_other_exceptions_are_still_swallowed_and_the_loop_runs_on():
    r = run_python(STOP_SCRIPT.format(action="raise ValueError('tenth')", reraise="", runner="run()"))
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert out[:2] == ["returned 0", "finally 100 0"]
    assert out[2].endswith("'vyi_run']")
    assert r.stderr.count("ValueError: tenth") == 2


def test_a_stop_inside_a_nested_call_reaches_the_outer_run():
    """The callable calls back into the module, and an event delivered inside
    that inner call raises: the inner call raises it, the outer callable lets
    it through, and the run raises it in turn."""
    r = run_python("""
        import vy.csdk.c_sdk as c_sdk, vystandin
        lib = vystandin.StandIn(); lib.reset()
        def callable_(t, p):
            if t == "outer":
                lib.push_event("inner", b"")
                lib.deliver_inline("vyi_get_orders_pb")
                print("inner call returned", c_sdk.py_vyi_get_orders(b"req"))
            elif t == "inner":
                raise KeyboardInterrupt("from inner")
        c_sdk.py_vyi_set_data_callback(callable_)
        lib.push_event("outer", b"")
        lib.push_event("late", b"")
        try:
            c_sdk.py_vyi_run()
        except KeyboardInterrupt as e:
            import traceback
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print("raised", e.args, names)
        print([c.fn for c in lib.journal()])
    """)
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    # The inner call's entry, then the run's, in the traceback of what the run raised.
    assert out[0] == ("raised ('from inner',) ['<module>', 'c_sdk.py_vyi_run', 'callable_', "
                      "'c_sdk.adapt_to_python3.wrapper', 'c_sdk.py_vyi_get_orders', 'callable_']")
    assert out[1] == "['vyi_set_event_callback_pb', 'vyi_run', 'vyi_get_orders_pb', 'vyi_stop', 'vyi_stop']"


def test_a_stop_during_a_direct_export_is_raised_by_it():
    r = run_python("""
        import vy.csdk.c_sdk as c_sdk, vystandin
        lib = vystandin.StandIn(); lib.reset()
        def callable_(t, p):
            raise SystemExit(3)
        c_sdk.py_vyi_set_data_callback(callable_)
        lib.push_event("tick", b"")
        lib.deliver_inline("vyi_poll")
        try:
            c_sdk.vyi_poll()
        except SystemExit as e:
            print("raised", e.code)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "raised 3"


# ---- copies and weak references ------------------------------------------------

CALLABLES = {
    "decorator's wrapper": lambda: c_sdk.py_vyi_get_orders,
    "record method": lambda: c_sdk.TickLikeDict2.__init__,
    "record property function": lambda: c_sdk.BarLikeDict2.close.fget,
    "direct export": lambda: c_sdk.vyi_now,
}


@pytest.mark.parametrize("kind", list(CALLABLES))
def test_callables_copy_and_weak_reference_like_functions(kind):
    fn = CALLABLES[kind]()
    attributes = {name: getattr(fn, name) for name in ("__name__", "__qualname__", "__module__", "__doc__")}
    config = {"callbacks": [fn], "by_name": {"cb": fn}}
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
    copied = copy.deepcopy(config)
    assert copied["callbacks"][0] is fn and copied["by_name"]["cb"] is fn
    assert copy.copy(config)["callbacks"][0] is fn
    ref = weakref.ref(fn)
    assert ref() is fn
    proxy = weakref.proxy(fn)
    assert proxy.__name__ == fn.__name__
    assert {name: getattr(fn, name) for name in attributes} == attributes


def test_weak_references_die_with_the_callable():
    wrapper = c_sdk.adapt_to_python3(len)
    seen = []
    ref = weakref.ref(wrapper, lambda r: seen.append("gone"))
    del wrapper
    assert ref() is None and seen == ["gone"]
    # A record method built and dropped with its class's subclass namespace is
    # not needed here: the module's own functions live for the process.


def test_a_record_method_pickles_by_reference():
    import pickle
    assert pickle.loads(pickle.dumps(c_sdk.TickLikeDict2.__init__)) is c_sdk.TickLikeDict2.__init__
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(c_sdk.py_vyi_get_orders)  # a closure, as the wrapper stands for one


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_a_kept_stop_does_not_leak(lib, fresh_globals):
    from conftest import refcount_growth

    def callable_(t, p):
        raise KeyboardInterrupt

    c_sdk.py_vyi_set_data_callback(callable_)

    def action():
        lib.push_event("tick", b"")
        try:
            c_sdk.py_vyi_run()
        except KeyboardInterrupt:
            pass
    assert refcount_growth(action, loops=50) < 10


def test_an_interrupt_reaches_a_run_whose_callable_is_not_python():
    """A callable written in C runs no Python instruction, where the
    interpreter would take a signal: the bridge takes it before each event."""
    r = run_python("""
        import signal
        import vy.csdk.c_sdk as c_sdk, vystandin
        lib = vystandin.StandIn(); lib.reset()
        def interrupt(signum, frame):
            raise KeyboardInterrupt("alarm")
        signal.signal(signal.SIGALRM, interrupt)
        c_sdk.py_vyi_set_data_callback(slice)  # takes (type, payload), keeps nothing
        c_sdk.py_vyi_set_timer(1)
        lib.set_run_until(10 ** 12)  # timer events for as long as the run goes on
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            c_sdk.py_vyi_run()
        except KeyboardInterrupt as e:
            print("raised", e.args, [c.fn for c in lib.journal()][-1])
    """, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "raised ('alarm',) vyi_stop"
