"""Threads: the library stays single-entry whatever the interpreter (the GIL,
or the module's own lock on a free-threaded build), calls from many threads
keep their own arguments, and events reach Python only on the thread that
runs the loop.  On a free-threaded build the module must not turn the GIL
back on."""
import os

import pytest

from conftest import IS_FREE_THREADED, run_python

from threads_scenario import DEADLINE_S, EVENTS, ROUNDS, WORKERS


@pytest.mark.skipif(not IS_FREE_THREADED, reason="a free-threaded build only")
def test_importing_the_module_keeps_the_gil_off():
    r = run_python("""
        import sys, warnings
        warnings.simplefilter("error")  # the interpreter warns when a module turns the GIL on
        before = sys._is_gil_enabled()
        import vy.csdk.c_sdk
        print(before, sys._is_gil_enabled())
    """, env={"PYTHON_GIL": None})
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["False", "False"]


def test_many_threads_beside_a_running_loop():
    import ast
    r = run_python("""
        import os, sys
        sys.path.insert(0, %r)
        import threads_scenario
        print(repr(threads_scenario.scenario()))
    """ % os.path.dirname(os.path.abspath(__file__)), timeout=DEADLINE_S + 60)
    assert r.returncode == 0, r.stderr[-3000:]
    result = ast.literal_eval(r.stdout.strip().splitlines()[-1])
    assert (result["status"], result["alive"], result["errors"]) == (0, 0, [])
    assert (result["events"], result["foreign"], result["statuses"]) == (EVENTS, 0, [0])
    # Never two threads inside the library at once outside an event.
    assert result["peak"] == 1

    # Every request reached the library whole, with its own companions.
    journal = result["journal"]
    by_thread = {}
    for fn, args in journal:
        if fn == "vyi_get_orders_pb":
            req, length = args[0]
            assert length == len(req)
            if req.startswith(b"w"):
                by_thread.setdefault(req.split(b":")[0], []).append(("q", req))
            else:
                assert req.startswith(b"run:")
        elif fn == "vyi_cancel_orders_pb":
            req, length = args[0]
            assert length == len(req) and req.startswith(b"w")
            by_thread.setdefault(req.split(b":")[0], []).append(("c", req))
        elif fn == "vyi_subscribe":
            symbols, frequency, unsubscribe = args
            n, i = symbols[1:].split(b":")
            assert frequency == b"f" + n and unsubscribe == (int(i) % 2 == 0)
            by_thread.setdefault(b"w" + n, []).append(("s", symbols))
    assert len(by_thread) == WORKERS
    for name, calls in by_thread.items():
        # Each thread's calls in its own order: query, command, subscribe, round by round.
        assert calls == [(kind, name + b":%d" % i) for i in range(ROUNDS) for kind in "qcs"]
    timers = [args[0] for fn, args in journal if fn == "vyi_set_timer"]
    assert sorted(set(timers)) == list(range(WORKERS))


def test_a_foreign_thread_event_during_threaded_calls_is_dropped():
    """The thread rule holds with other threads inside module calls."""
    r = run_python("""
        import threading
        import vy.csdk.c_sdk as c_sdk, vystandin
        lib = vystandin.StandIn(); lib.reset()
        got = []
        c_sdk.py_vyi_set_data_callback(lambda t, p: got.append((t, threading.get_ident())))
        stop = threading.Event()
        def busy():
            while not stop.is_set():
                c_sdk.py_vyi_get_orders(b"busy")
        threads = [threading.Thread(target=busy) for _ in range(4)]
        for t in threads: t.start()
        for _ in range(5):
            lib.deliver_from_thread("foreign", b"x")
        stop.set()
        for t in threads: t.join()
        lib.push_event("mine", b"")
        c_sdk.py_vyi_run()
        print([t for t, ident in got if ident == threading.get_ident()], len(got))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[0] == "['mine'] 1"
    assert r.stderr.count("event 'foreign' arrived on a thread that does not hold the interpreter lock") == 5


def test_first_calls_of_a_function_from_many_threads_at_once():
    """Each SDK function is looked up at its first call: threads making the
    first calls of the same functions at the same moment all reach the
    library, each call once, with their own arguments."""
    r = run_python("""
        import threading
        import vy.csdk.c_sdk as c_sdk
        import vystandin
        lib = vystandin.StandIn()
        lib.reset()
        barrier = threading.Barrier(4)
        results = []
        def first_calls(i):
            barrier.wait()
            results.append((c_sdk.py_vyi_get_orders(b"req%d" % i), c_sdk.vyi_now(),
                            c_sdk.py_vyi_cancel_all_orders("all%d" % i)))
        threads = [threading.Thread(target=first_calls, args=(i,)) for i in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(results), sorted(c.args[0][0] for c in lib.calls("vyi_get_orders_pb")),
              len(lib.calls("vyi_now")), sorted(c.args[0][0] for c in lib.calls("vyi_cancel_all_orders_pb")))
    """, timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.strip() == ("4 [b'req0', b'req1', b'req2', b'req3'] 4 "
                                "[b'all0', b'all1', b'all2', b'all3']")


def test_records_read_while_another_thread_rebinds_their_data():
    """Field, item and `data` reads of one record while another thread keeps
    rebinding its `data` to fresh mappings: every read sees one of them whole."""
    r = run_python("""
        import threading
        import vy.csdk.c_sdk as c_sdk
        tick = c_sdk.TickLikeDict2({"price": 0})
        done = threading.Event()
        bad = []
        def rebind():
            for i in range(1, 60001):
                tick.data = {"price": i, "symbol": "s%d" % i}
            done.set()
        def read():
            while not done.is_set():
                p, s, d = tick.price, tick["symbol"], tick.data
                if not (isinstance(p, int) and (s is None or s.startswith("s")) and "price" in d):
                    bad.append((p, s, d))
        threads = [threading.Thread(target=rebind)] + [threading.Thread(target=read) for _ in range(3)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(bad[:3], tick.price)
    """, timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.split("\n")[0] == "[] 60000"


def test_a_field_replaced_while_other_threads_read_it():
    """Reads racing a change of the class: each sees the field before or
    after, and every read after the change sees the new property."""
    r = run_python("""
        import threading, time
        import vy.csdk.c_sdk as c_sdk
        cls = c_sdk.TickLikeDict2
        tick = cls({"price": 1.5})
        started, changed, done = threading.Barrier(4), threading.Event(), threading.Event()
        seen, late = set(), []
        def read():
            started.wait()
            while not done.is_set():
                was_changed = changed.is_set()
                p = tick.price
                seen.add(p)
                if was_changed and p != "replaced":
                    late.append(p)
        threads = [threading.Thread(target=read) for _ in range(3)]
        for t in threads: t.start()
        started.wait()
        while 1.5 not in seen:  # the readers are on the short path
            time.sleep(0.001)
        cls.price = property(lambda self: "replaced")
        changed.set()
        while "replaced" not in seen:
            time.sleep(0.001)
        time.sleep(0.05)
        done.set()
        for t in threads: t.join()
        print(sorted(map(str, seen)), late, tick.price)
    """, timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.split("\n")[0] == "['1.5', 'replaced'] [] replaced"
