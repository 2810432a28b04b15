"""Parallelism a user can see on a free-threaded interpreter: threads doing
pure-Python work beside a thread inside py_vyi_run() that receives events
(and does the same work for each), as throughput against one thread.  With
the GIL the total stays near one thread's; without it, two threads on two
cores should reach well over 1.7 times.

Run: CSDK_PKG=<build>/pkg python3.13t benchmarks/bench_parallel.py [--seconds S]
"""
import argparse
import os
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("CSDK_PKG", os.path.join(ROOT, "build", "deb", "pkg")))
sys.path.insert(0, os.path.join(ROOT, "standin"))

import vy.csdk.c_sdk as c_sdk  # noqa: E402
import vystandin  # noqa: E402


def unit():
    """One unit of pure-Python work (some tens of microseconds)."""
    total = 0
    for i in range(2000):
        total += i * i % 7
    return total


def worker_rate(seconds, stop=None):
    """Units per second of a thread doing nothing else."""
    n, end = 0, time.perf_counter() + seconds
    while time.perf_counter() < end and not (stop and stop.is_set()):
        unit()
        n += 1
    return n


def run_events(lib, count):
    """Events through the run loop, a unit of work each; (units, seconds)."""
    done = [0]

    def on_event(msg_type, payload):
        unit()
        done[0] += 1

    c_sdk.py_vyi_set_data_callback(on_event)
    for _ in range(count):
        lib.push_event("tick", b"x" * 64)
    t0 = time.perf_counter()
    c_sdk.py_vyi_run()
    return done[0], time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--workers", type=int, default=1, help="pure-Python threads beside the run thread")
    args = ap.parse_args()
    lib = vystandin.StandIn()
    lib.reset()
    lib.set_journaling(False)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()

    single = worker_rate(args.seconds) / args.seconds
    # Size the run to last about as long as the measurement.
    events = max(100, int(single * args.seconds))
    ev_units, ev_seconds = run_events(lib, events)
    run_alone = ev_units / ev_seconds

    counts = [0] * args.workers
    stop = threading.Event()

    def work(i):
        counts[i] = worker_rate(3600, stop)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(args.workers)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    ev_units, _ = run_events(lib, events)
    stop.set()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - t0
    together = (ev_units + sum(counts)) / elapsed

    print(f"{sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, {os.cpu_count()} cores")
    print(f"one thread, pure Python            {single:10.0f} units/s")
    print(f"run thread alone (a unit an event) {run_alone:10.0f} units/s")
    print(f"run thread + {args.workers} worker(s)          {together:10.0f} units/s")
    print(f"throughput against one thread      {together / single:10.2f}x  (goal >= 1.7 without the GIL)")
    lib.reset()


if __name__ == "__main__":
    main()
