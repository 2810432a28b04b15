"""The scenario of the threaded stress test, run in a fresh interpreter by
tests/test_threads.py (and by scripts/tsan.sh under ThreadSanitizer): eight
workers making queries, commands and typed calls and building and reading
records, beside the run loop, whose callable calls back into the module and
rebinds f now and then.  Nothing here needs pytest."""
import os
import threading
import time

import vy.csdk.c_sdk as c_sdk

WORKERS = 8
ROUNDS = int(os.environ.get("CSDK_THREAD_ROUNDS", "150"))
EVENTS = 1500
DEADLINE_S = 60


def worker(n, go, stop, errors):
    """Queries, commands, typed calls and records, each request carrying
    this thread's marker and a round number; started by the run's first event."""
    try:
        go.wait(DEADLINE_S)
        for i in range(ROUNDS):
            if stop.is_set():
                break
            marker = b"w%d:%d" % (n, i)
            status, _ = c_sdk.py_vyi_get_orders(marker)
            assert status == 0
            assert c_sdk.py_vyi_cancel_order(bytearray(marker)) == 0
            assert c_sdk.py_vyi_subscribe(marker, b"f%d" % n, i % 2 == 0) == 0
            c_sdk.py_vyi_set_timer(n)  # a void call with an int
            tick = c_sdk.TickLikeDict2({"price": i, "symbol": marker})
            assert (tick.price, tick["symbol"], tick.missing) == (i, marker, None)
            bar = c_sdk.BarLikeDict2({"close": n})
            assert bar.close == n and "close" in bar
    except BaseException as e:  # reported by the main thread
        errors.append((n, repr(e)))


def scenario():
    """Eight workers beside the run loop, whose callable calls back into the
    module and rebinds f now and then; returns what the checks need.  Runs in
    a fresh interpreter (a crash is a failure, not the end of the run)."""
    import vystandin
    lib = vystandin.StandIn()
    lib.reset()
    run_thread = threading.get_ident()
    seen = {"events": 0, "foreign": 0, "calls": []}
    go, stop, errors = threading.Event(), threading.Event(), []
    threads = [threading.Thread(target=worker, args=(n, go, stop, errors), daemon=True) for n in range(WORKERS)]

    def on_event(t, p):
        if threading.get_ident() != run_thread:
            seen["foreign"] += 1
        seen["events"] += 1
        go.set()
        seen["calls"].append(c_sdk.py_vyi_get_orders(b"run:" + p)[0])
        if seen["events"] % 100 == 0:  # rebinding f now and then
            c_sdk.py_vyi_set_data_callback(on_event_other)
        if seen["events"] == EVENTS:
            # The last event waits for the workers: they all run while the
            # loop runs, inside an event or between two.
            for t in threads:
                t.join(max(0.1, DEADLINE_S - (time.monotonic() - started)))

    def on_event_other(t, p):
        on_event(t, p)
        c_sdk.py_vyi_set_data_callback(on_event)

    c_sdk.py_vyi_set_data_callback(on_event)
    for i in range(EVENTS):
        lib.push_event("tick", b"%d" % i)
    started = time.monotonic()
    for t in threads:
        t.start()
    status = c_sdk.py_vyi_run()
    stop.set()
    return {
        "status": status, "alive": sum(t.is_alive() for t in threads), "errors": errors,
        "events": seen["events"], "foreign": seen["foreign"], "statuses": sorted(set(seen["calls"])),
        "peak": lib.concurrency_peak(),
        "journal": [(c.fn, [list(a) if isinstance(a, tuple) else a for a in c.args]) for c in lib.journal()],
    }


if __name__ == "__main__":
    print(repr(scenario()))
