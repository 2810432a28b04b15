"""The event bridge: each library event reaches the stored callable as
(str type, bytes payload); failures are printed, reported and dropped."""
import pytest

from conftest import Sink, c_sdk, needs_debug_build, refcount_growth, run_python


@pytest.mark.parametrize("msg_type, payload, length, expected", [
    ("tick", b"12345", None, ("tick", b"12345")),
    ("bar", b"", None, ("bar", b"")),
    ("order", b"a\x00b\x00", None, ("order", b"a\x00b\x00")),  # the payload is passed whole
    (b"type\x00cut", b"x", None, ("type", b"x")),  # only the type stops at its NUL
    ("行情".encode(), b"x", None, ("行情", b"x")),
    (None, b"x", None, ("", b"x")),  # a NULL type reads as the empty text
    ("tick", None, 5, ("tick", b"")),  # a NULL payload with a length is empty
])
def test_delivery(lib, sink, msg_type, payload, length, expected):
    lib.push_event(msg_type, payload, length=length)
    assert c_sdk.py_vyi_run() == 0
    assert sink.events == [expected]
    (t, p), = sink.events
    assert type(t) is str and type(p) is bytes


def test_payload_is_a_copy_that_outlives_the_event(lib, sink):
    for i in range(3):
        lib.push_event("tick", b"payload %d" % i)
    c_sdk.py_vyi_run()
    assert [p for _, p in sink.events] == [b"payload 0", b"payload 1", b"payload 2"]


def test_types_stay_right_across_runs_of_one_type(lib, sink):
    types = ["tick", "tick", "bar", "tick", "x" * 100, "x" * 100, "tick"]
    for t in types:
        lib.push_event(t, b"")
    c_sdk.py_vyi_run()
    assert [t for t, _ in sink.events] == types


def test_registration(lib, fresh_globals):
    first, second = Sink(), Sink()
    assert c_sdk.py_vyi_set_data_callback(first) is None
    assert c_sdk.f is first
    lib.push_event("a", b"1")
    c_sdk.py_vyi_run()
    c_sdk.py_vyi_set_data_callback(second)
    lib.push_event("b", b"2")
    c_sdk.py_vyi_run()
    assert first.events == [("a", b"1")] and second.events == [("b", b"2")]
    assert [(c.fn, c.args) for c in lib.calls("vyi_set_event_callback_pb")] == [
        ("vyi_set_event_callback_pb", ["callback"])] * 2
    c_sdk.f = first  # f is looked up at every event
    lib.push_event("c", b"3")
    c_sdk.py_vyi_run()
    assert first.events[-1] == ("c", b"3")
    with pytest.raises(TypeError):
        c_sdk.py_vyi_set_data_callback(pythonf=first)


def test_is_py2_gives_bytes_types(lib, sink):
    c_sdk.IS_PY2 = True
    lib.push_event("tick", b"x")
    c_sdk.py_vyi_run()
    assert sink.events == [(b"tick", b"x")]


def test_callable_may_rebind_itself_and_call_back_into_the_module(lib, fresh_globals):
    seen = []

    def second(t, p):
        seen.append(("second", t))

    def first(t, p):
        seen.append(("first", t, c_sdk.py_vyi_get_orders(b"inner")))
        c_sdk.py_vyi_set_data_callback(second)

    c_sdk.py_vyi_set_data_callback(first)
    lib.push_event("a", b"")
    lib.push_event("b", b"")
    c_sdk.py_vyi_run()
    assert seen == [("first", "a", (0, b"")), ("second", "b")]
    assert [c.fn for c in lib.journal()][-3:] == ["vyi_run", "vyi_get_orders_pb", "vyi_set_event_callback_pb"]


FAILURE_SCRIPT = """
    import sys
    import vy.csdk.c_sdk as c_sdk, vystandin
    lib = vystandin.StandIn(); lib.reset()
    got = []
    {setup}
    lib.push_event("first", b"1")
    lib.push_event({bad_type}, {bad_payload}, length={bad_length})
    lib.push_event("last", b"3")
    print("run ->", c_sdk.py_vyi_run())
    print("got", got)
    print("last_type", getattr(sys, "last_type", None).__name__ if hasattr(sys, "last_type") else None)
"""


@pytest.mark.parametrize("name, setup, bad, error", [
    ("raises", "def f(t, p):\n        got.append(t)\n        if t == 'bad': raise KeyError('boom')\n"
               "    c_sdk.py_vyi_set_data_callback(f)", ("'bad'", "b'2'", 1), "KeyError: 'boom'"),
    ("none", "c_sdk.py_vyi_set_data_callback(None)", ("'bad'", "b'2'", 1), "TypeError: 'NoneType' object is not callable"),
    ("deleted", "c_sdk.py_vyi_set_data_callback(got.append)\n    del c_sdk.f", ("'bad'", "b'2'", 1),
     "NameError: name 'f' is not defined"),
    ("negative length", "c_sdk.py_vyi_set_data_callback(lambda t, p: got.append(t))", ("'bad'", "b'2'", -4),
     "ValueError: event payload length is negative (-4)"),
    ("bad utf-8", "c_sdk.py_vyi_set_data_callback(lambda t, p: got.append(t))", ("b'\\xff\\xfe'", "b'2'", 1),
     "UnicodeDecodeError"),
    ("is_py2 deleted", "c_sdk.py_vyi_set_data_callback(lambda t, p: got.append(t))\n    del c_sdk.IS_PY2",
     ("'bad'", "b'2'", 1), "NameError: name 'IS_PY2' is not defined"),
])
def test_failures_are_printed_twice_and_dropped(name, setup, bad, error):
    r = run_python(FAILURE_SCRIPT.format(setup=setup, bad_type=bad[0], bad_payload=bad[1], bad_length=bad[2]))
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert out[0] == "run -> 0"
    failing = 3 if name in ("deleted", "none", "is_py2 deleted") else 1  # every event, or the bad one
    assert r.stderr.count(error) == 2 * failing  # printed with its traceback, then reported as unraisable
    assert "Exception ignored in: 'c_sdk.callback_wrapper'" in r.stderr
    assert "Traceback (most recent call last)" in r.stderr
    if name == "raises":
        assert out[1] == "got ['first', 'bad', 'last']"
    elif name in ("negative length", "bad utf-8"):
        assert out[1] == "got ['first', 'last']"  # the callable never sees the broken event
    if name not in ("deleted", "none", "is_py2 deleted"):
        assert out[2] != "last_type None"


def test_system_exit_inside_the_callable_ends_the_process():
    r = run_python("""
        import vy.csdk.c_sdk as c_sdk, vystandin
        lib = vystandin.StandIn(); lib.reset()
        def f(t, p):
            raise SystemExit(7)
        c_sdk.py_vyi_set_data_callback(f)
        lib.push_event("tick", b"")
        c_sdk.py_vyi_run()
        print("still running")
    """)
    assert r.returncode == 7 and "still running" not in r.stdout


def test_event_from_a_foreign_thread_is_dropped_without_touching_python():
    r = run_python("""
        import vy.csdk.c_sdk as c_sdk, vystandin
        lib = vystandin.StandIn(); lib.reset()
        got = []
        c_sdk.py_vyi_set_data_callback(lambda t, p: got.append(t))
        lib.deliver_from_thread("tick", b"payload")
        lib.push_event("tick", b"")
        c_sdk.py_vyi_run()
        print(got)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "['tick']"
    assert "event 'tick' arrived on a thread that does not hold the interpreter lock; dropped" in r.stderr


@needs_debug_build
@pytest.mark.parametrize("callable_", ["ok", "raises"])
def test_bridge_does_not_leak(lib, fresh_globals, callable_, capsys):
    import sys

    def ok(t, p):
        return (t, p)

    def raises(t, p):
        raise ValueError(p)

    c_sdk.py_vyi_set_data_callback(ok if callable_ == "ok" else raises)
    hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    try:
        def action():
            for t in ("tick", "tick", "bar"):
                lib.push_event(t, b"payload")
            c_sdk.py_vyi_run()
        assert refcount_growth(action, loops=50) < 10
    finally:
        sys.unraisablehook = hook
        for name in ("last_type", "last_value", "last_traceback"):
            sys.__dict__.pop(name, None)
