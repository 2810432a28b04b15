"""The run loop as the module drives it: run and stop, timers in simulated
time, event files, and calls made from inside the callable."""
import pytest

from conftest import c_sdk


@pytest.mark.parametrize("fn, libfn", [
    (c_sdk.py_vyi_run, "vyi_run"), (c_sdk.py_vyi_stop, "vyi_stop"),
    (c_sdk.py_vyi_get_stop_error_code, "vyi_get_stop_error_code"),
])
@pytest.mark.parametrize("value", [0, 1, -1, 2**31 - 1, -2**31])
def test_results_come_back_unchanged(lib, fn, libfn, value):
    lib.set_status(libfn, value)
    assert fn() == value
    assert [c.fn for c in lib.journal()] == [libfn]


def test_stop_from_inside_the_callable_ends_the_run(lib, sink):
    sink.on_event = lambda t, p: t == "order" and c_sdk.py_vyi_stop()
    for t in ("tick", "order", "tick"):
        lib.push_event(t, b"")
    assert c_sdk.py_vyi_run() == 0
    assert [t for t, _ in sink.events] == ["tick", "order"]
    assert lib.pending_events() == 1
    assert [c.fn for c in lib.journal()] == ["vyi_set_event_callback_pb", "vyi_run", "vyi_stop"]
    c_sdk.py_vyi_run()  # a later run goes on with what is left
    assert [t for t, _ in sink.events] == ["tick", "order", "tick"]


def test_timers_fire_in_simulated_time(lib, sink):
    c_sdk.py_vyi_set_timer(1000)
    lib.push_event("tick", b"a", time_ms=0)
    lib.push_event("tick", b"b", time_ms=2500)
    c_sdk.py_vyi_run()
    assert sink.events == [("tick", b"a"), ("timer", b""), ("timer", b""), ("tick", b"b")]
    assert lib.clock() == 2500


def test_user_timers(lib, sink):
    ids = []

    def on_event(t, p):
        if t == "user_timer" and len(sink.events) == 3:
            c_sdk.py_vyi_user_timer_stop(int(p))

    sink.on_event = on_event
    ids.append(c_sdk.py_vyi_user_timer(100, 50))
    lib.set_run_until(1000)
    c_sdk.py_vyi_run()
    assert ids == [1]
    assert sink.events == [("user_timer", b"1")] * 3
    assert [c.args for c in lib.calls("vyi_user_timer")] == [[100, 50]]
    assert [c.args for c in lib.calls("vyi_user_timer_stop")] == [[1]]


def test_event_file_replay(lib, sink, tmp_path):
    path = tmp_path / "session.events"
    path.write_text("# a comment\n"
                    "0 tick {\"price\": 1.5}\n"
                    "\n"
                    "100 report a\\x00b\\nc\n"
                    "200 empty \n")
    assert lib.load_event_file(path) == 3
    c_sdk.py_vyi_run()
    assert sink.events == [("tick", b'{"price": 1.5}'), ("report", b"a\x00b\nc"), ("empty", b"")]


def test_nested_calls_from_the_callable(lib, sink):
    def on_event(t, p):
        sink.nested = (c_sdk.py_vyi_get_orders(b"q"), c_sdk.py_vyi_run(), c_sdk.py_vyi_strerror(3))

    sink.on_event = on_event
    lib.set_response("vyi_get_orders_pb", b"orders")
    lib.push_event("tick", b"")
    c_sdk.py_vyi_run()
    assert sink.nested == ((0, b"orders"), 0, b"stand-in error 3")
    assert [c.fn for c in lib.journal()][1:] == ["vyi_run", "vyi_get_orders_pb", "vyi_run", "vyi_strerror"]


def test_events_inside_any_library_call(lib, sink):
    lib.push_event("tick", b"inline")
    lib.deliver_inline("vyi_get_cash_pb")
    assert c_sdk.py_vyi_get_cash(b"") == (0, b"")
    assert sink.events == [("tick", b"inline")]
