"""The event bridge reads IS_PY2 and f at every event; it keeps them between
events only while the module namespace is unchanged, so every change made in
the middle of a run (by the callable itself) shows at the next event."""
import builtins

import pytest

from conftest import c_sdk


class Truth:
    """An IS_PY2 whose truth test is counted."""

    def __init__(self):
        self.tested = 0

    def __bool__(self):
        self.tested += 1
        return False


def run_events(lib, n):
    for i in range(n):
        lib.push_event(f"e{i}", b"x")
    c_sdk.py_vyi_run()


def test_rebinding_f_midway_sends_later_events_to_the_new_callable(lib, fresh_globals):
    got = []

    def second(t, p):
        got.append(("second", t))

    def first(t, p):
        got.append(("first", t))
        if t == "e1":
            c_sdk.f = second

    c_sdk.py_vyi_set_data_callback(first)
    run_events(lib, 4)
    assert got == [("first", "e0"), ("first", "e1"), ("second", "e2"), ("second", "e3")]


def test_changes_of_is_py2_show_at_the_next_event(lib, fresh_globals):
    got = []

    def f(t, p):
        got.append(t)
        c_sdk.IS_PY2 = t == "e0"  # True for the event after e0 only

    c_sdk.py_vyi_set_data_callback(f)
    run_events(lib, 3)
    assert got == ["e0", b"e1", "e2"]


def test_f_found_among_the_builtins_after_it_leaves_the_namespace(lib, fresh_globals, monkeypatch):
    got = []
    monkeypatch.setattr(builtins, "f", lambda t, p: got.append(("builtin", t)), raising=False)

    def f(t, p):
        got.append(("module", t))
        del c_sdk.f

    c_sdk.py_vyi_set_data_callback(f)
    run_events(lib, 3)
    assert got == [("module", "e0"), ("builtin", "e1"), ("builtin", "e2")]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_deleting_f_midway_reports_each_later_event(lib, fresh_globals, capsys):
    got = []

    def f(t, p):
        got.append(t)
        del c_sdk.f

    c_sdk.py_vyi_set_data_callback(f)
    run_events(lib, 3)
    assert got == ["e0"]
    # One printed traceback per later event (the unraisable report goes to
    # pytest's own hook here).
    assert capsys.readouterr().err.count("NameError: name 'f' is not defined") == 2


def test_unrelated_changes_keep_the_callable(lib, fresh_globals):
    got = []

    def f(t, p):
        got.append(t)
        setattr(c_sdk, f"unrelated_{t}", 1)

    c_sdk.py_vyi_set_data_callback(f)
    run_events(lib, 3)
    assert got == ["e0", "e1", "e2"]


def test_a_flag_with_its_own_truth_test_is_tested_at_every_event(lib, fresh_globals):
    flag = Truth()
    c_sdk.IS_PY2 = flag
    c_sdk.py_vyi_set_data_callback(lambda t, p: None)
    run_events(lib, 5)
    assert flag.tested == 5
