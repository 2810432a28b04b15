#!/usr/bin/env python3
"""Long-run stress of the event bridge and the run loop.

    scripts/stress.py [--events N] [--batch B] [--pkg BUILD_PKG_DIR]

Pushes N events (default 10,000,000) through py_vyi_run in batches of B,
loaded from an event file into the stand-in library.  Payloads vary from 0
bytes to 64 KiB.  The event callable raises on every 1,000th event, and the
callable is rebound to a second one midway, from inside a run.  While runs
are going on, events are also fired from a foreign thread; each must be
dropped with its line on stderr and never reach the callable.

Checked, after a warm-up:
- resident memory stays within 1 MiB of its level after the warm-up;
- on the debug interpreter, sys.gettotalrefcount() returns to its start;
- every event reaches the callable bound at that moment, once, in order;
- every raised exception is reported twice (printed, then as unraisable);
- every foreign-thread event is dropped with its stderr line.

The figures are printed; any failed check exits with status 1.  Run it with
the build to test on the path, or with --pkg build/NAME/pkg.
"""
import argparse
import gc
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAX_PAYLOAD = 64 * 1024
RAISE_EVERY = 1000
DROPPED = b"arrived on a thread that does not hold the interpreter lock; dropped"
WARM_RUNS = 100  # at least; see the warm-up below


class EveryThousandth(Exception):
    """Raised by the callable; its name appears once in each report of it."""


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--events", type=int, default=10_000_000)
    p.add_argument("--batch", type=int, default=1000)
    p.add_argument("--foreign", type=int, default=20, help="events fired from a foreign thread")
    p.add_argument("--pkg", default=os.environ.get("CSDK_PKG", os.path.join(ROOT, "build", "deb", "pkg")))
    args = p.parse_args()
    if args.events // max(args.batch, 1) < 2 * WARM_RUNS:
        p.error(f"--events must make at least {2 * WARM_RUNS} runs of --batch events (warm-up and measured runs)")
    return args


def payload_sizes(batch):
    """Sizes of one batch: mostly small, a few large, one of 64 KiB."""
    cycle = [0, 1, 16, 100, 700, 3000, 64, 8]
    sizes = [cycle[i % len(cycle)] for i in range(batch)]
    sizes[batch // 2] = MAX_PAYLOAD
    return sizes


def write_event_file(path, batch):
    """One batch of events; payload i of size n holds n bytes of a pattern
    with a NUL and a high byte in it (escaped in the file)."""
    expected = []
    with open(path, "w", encoding="utf-8") as f:
        for i, n in enumerate(payload_sizes(batch)):
            body = bytes((ord("a") + (i + k) % 26) for k in range(n))
            if n >= 4:
                body = body[:1] + b"\0\xff" + body[3:]
            text = body.replace(b"\\", b"\\\\").decode("latin-1")
            text = text.replace("\0", "\\0").replace("\xff", "\\xff")
            f.write(f"0 tick {text}\n")
            expected.append((len(body), body[:8]))
    return expected


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Sink:
    """Counts and checks events; raises on every RAISE_EVERY-th event of the run."""

    def __init__(self, name, stress):
        self.name, self.stress, self.count = name, stress, 0

    def __call__(self, msg_type, payload):
        s = self.stress
        s.seen += 1
        self.count += 1
        if msg_type != "tick" or (len(payload), payload[:8]) != s.expected[s.index]:
            s.bad += 1
        s.index = (s.index + 1) % len(s.expected)
        if s.seen == s.rebind_at:
            s.c_sdk.py_vyi_set_data_callback(s.second)
        if s.seen in s.foreign_at:
            s.lib.deliver_from_thread("foreign", b"\x01" * 100)
            s.foreign_sent += 1
        if s.seen % RAISE_EVERY == 0:
            s.raised += 1
            raise s.error(s.seen)


class ReportCounter:
    """sys.stderr during the runs: counts the exception reports, keeps nothing."""

    def __init__(self):
        self.reports = 0

    def write(self, text):
        self.reports += text.count(EveryThousandth.__name__)
        return len(text)

    def flush(self):
        pass


class Stress:
    def __init__(self, args, c_sdk, lib, expected):
        self.c_sdk, self.lib, self.expected = c_sdk, lib, expected
        self.seen = self.index = self.bad = self.raised = self.foreign_sent = 0
        self.error = EveryThousandth
        self.rebind_at = args.events // 2 + args.batch // 2 + 1  # inside a run, off the batch edge
        step = max(args.events // (args.foreign + 1), 1)
        self.foreign_at = {step * (k + 1) + 1 for k in range(args.foreign)}
        self.first = Sink("first", self)
        self.second = Sink("second", self)


def main():
    args = parse_args()
    sys.path[:0] = [args.pkg, os.path.join(ROOT, "standin")]
    import vy.csdk.c_sdk as c_sdk
    import vystandin

    lib = vystandin.StandIn()
    lib.reset()
    lib.set_journaling(False)  # the journal would grow with every run
    batches = max(args.events // args.batch, 1)
    events = batches * args.batch
    args.events = events
    workdir = tempfile.mkdtemp(prefix="csdk-stress-")
    path = os.path.join(workdir, "events.txt")
    expected = write_event_file(path, args.batch)
    stress = Stress(args, c_sdk, lib, expected)
    c_sdk.py_vyi_set_data_callback(stress.first)

    # stderr: Python-level reports are counted; the bridge's own lines for
    # foreign-thread events go to fd 2, captured in a file.
    captured = open(os.path.join(workdir, "stderr.txt"), "w+b")
    saved_fd = os.dup(2)
    os.dup2(captured.fileno(), 2)
    counter, saved_stderr = ReportCounter(), sys.stderr
    sys.stderr = counter
    debug = hasattr(sys, "gettotalrefcount")
    # Warm-up: the stand-in keeps 64 retired payload buffers per size class
    # before it reuses one (a 64 KiB payload comes once per batch), and the
    # interpreter's own caches fill; both then stay flat.
    warm = max(batches // 20, WARM_RUNS)
    rss_base = refs_base = rss_end = refs_end = refs = rss = None
    rss_peak = 0
    started = time.monotonic()
    try:
        # Both marks are taken at the top of the loop, so what the loop itself
        # holds (its iterator) is the same at both.
        for b in range(batches + 1):
            if b == warm or b == batches:
                gc.collect()
                refs = sys.gettotalrefcount() if debug else None
                rss = rss_bytes()
                if b == batches:
                    refs_end, rss_end = refs, rss
                    break
                refs_base, rss_base = refs, rss
            if lib.load_event_file(path) != args.batch:
                raise SystemExit("the event file did not load whole")
            c_sdk.py_vyi_run()
            if b >= warm:
                rss_peak = max(rss_peak, rss_bytes())
    finally:
        elapsed = time.monotonic() - started
        sys.stderr = saved_stderr
        os.dup2(saved_fd, 2)
        os.close(saved_fd)
    captured.seek(0)
    dropped_lines = captured.read().count(DROPPED)
    captured.close()
    lib.reset()

    checks = []

    def check(ok, what):
        checks.append((ok, what))

    growth = rss_peak - rss_base
    check(stress.seen == events, f"events delivered: {stress.seen} of {events}")
    check(stress.bad == 0, f"events with a wrong type or payload: {stress.bad}")
    check((stress.first.count, stress.second.count) == (stress.rebind_at, events - stress.rebind_at),
          f"events per callable: first {stress.first.count}, second {stress.second.count} "
          f"(rebound after event {stress.rebind_at})")
    check(stress.raised == events // RAISE_EVERY, f"exceptions raised: {stress.raised}")
    check(counter.reports == 2 * stress.raised,
          f"exception reports on stderr: {counter.reports} (two per exception)")
    check(stress.foreign_sent == len(stress.foreign_at) and dropped_lines == stress.foreign_sent,
          f"foreign-thread events: {stress.foreign_sent} fired, {dropped_lines} dropped with their stderr line")
    # AddressSanitizer holds freed memory in its quarantine: the figure is
    # shown, not checked, under it.
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    check(growth <= 1 << 20 or sanitized, ("(not checked under AddressSanitizer) " if sanitized else "") +
          f"resident memory: {rss_base / 2**20:.1f} MiB after warm-up, "
          f"peak +{growth / 1024:.0f} KiB, end +{(rss_end - rss_base) / 1024:.0f} KiB (limit 1024 KiB)")
    if debug:
        check(refs_end == refs_base, f"total reference count: {refs_base} after warm-up, {refs_end} at the end "
              f"({refs_end - refs_base:+d})")
    print(f"stress: {events} events in {batches} runs of {args.batch}, {elapsed:.1f} s "
          f"({events / max(elapsed, 1e-9) / 1e6:.2f} M events/s), payloads 0 to {MAX_PAYLOAD} bytes")
    for ok, what in checks:
        print(("ok    " if ok else "FAIL  ") + what)
    return 0 if all(ok for ok, _ in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
