"""What recording costs: a 64-byte serialized query and a 64-byte event,
through the module straight to the stand-in library, through the recording
library forwarding only, and through it recording events and calls to files.
Each variant runs in its own interpreter. Not run by the tests.

    CSDK_PKG=build/deb/pkg python3 benchmarks/bench_recorder.py

Bursts: the cost on the calling thread, in bursts of BURST calls or events
with a pause between them in which the writer thread catches up, as it does
in a live session (best and median burst). Sustained: back-to-back for a
long while, where the writer's pace (the disk) sets the cost.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PKG = os.path.abspath(os.environ.get("CSDK_PKG", os.path.join(ROOT, "build", "deb", "pkg")))
STANDIN_DIR = os.path.join(ROOT, "standin")
RECORDER = os.path.join(os.path.dirname(PKG), "recorder", "libvy3-c.so")

BURST = 2_000
BURSTS = 150
PAUSE = 0.01
N_SUSTAINED = 300_000

CHILD = """
import os, statistics, sys, time, timeit
import vy.csdk.c_sdk as c
import vystandin

si = vystandin.StandIn(os.environ.get("VY_RECORD_TARGET"))
si.reset()
si.set_journaling(False)
si.set_response("vyi_get_orders_pb", b"r" * 64)
req = b"q" * 64
payload = bytes(range(64))
burst, bursts, pause, sustained = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
query = timeit.Timer(lambda: c.py_vyi_get_orders(req))
sink = {}
c.py_vyi_set_data_callback(sink.__setitem__)

def run_events(n):
    for i in range(n):
        si.push_event(b"tick", payload)
    time.sleep(pause)  # the writer catches up before the burst
    return timeit.timeit(c.py_vyi_run, number=1) / n

q, e = [], []
for _ in range(bursts):
    time.sleep(pause)
    q.append(query.timeit(number=burst) / burst)
    e.append(run_events(burst))
q_long = query.timeit(number=sustained) / sustained
e_long = run_events(sustained)
ns = lambda v: round(v * 1e9, 1)
print(ns(min(q)), ns(statistics.median(q)), ns(q_long), ns(min(e)), ns(statistics.median(e)), ns(e_long))
"""


def run(pkg, env_extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VY_RECORD_")}
    env.update(env_extra, PYTHONPATH=os.pathsep.join([pkg, STANDIN_DIR]))
    out = subprocess.run([sys.executable, "-c", CHILD, str(BURST), str(BURSTS), str(PAUSE), str(N_SUSTAINED)],
                         env=env, check=True, capture_output=True, text=True, cwd=os.path.dirname(pkg))
    if out.stderr:
        sys.stderr.write(out.stderr)
    return list(map(float, out.stdout.split()))


def main():
    target = os.path.join(PKG, "vy", "csdk", "libvy3-c.so")
    with tempfile.TemporaryDirectory(prefix="bench-recorder-") as tmp:
        staged = os.path.join(tmp, "pkg")
        shutil.copytree(PKG, staged, ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy2(RECORDER, os.path.join(staged, "vy", "csdk", "libvy3-c.so"))
        rows = [
            ("stand-in, no recorder", PKG, {}),
            ("recorder forwarding only", staged, {"VY_RECORD_TARGET": target}),
            ("recorder, events and calls", staged, {"VY_RECORD_TARGET": target,
                                                    "VY_RECORD_EVENTS": os.path.join(tmp, "s.events"),
                                                    "VY_RECORD_CALLS": os.path.join(tmp, "s.calls")}),
        ]
        results = {}
        for label, pkg, env in rows:
            results[label] = run(pkg, env)
        sizes = {f: os.path.getsize(os.path.join(tmp, f)) for f in ("s.events", "s.calls")}
    base = results["stand-in, no recorder"]
    columns = ["query best", "median", "sustained", "event best", "median", "sustained"]
    print(f"{'ns per call or event':28s}" + "".join(f"{c:>11s}" for c in columns))
    for label, row in results.items():
        print(f"{label:28s}" + "".join(f"{v:11.1f}" for v in row))
        if row is not base:
            print(f"{'  added':28s}" + "".join(f"{v - b:11.1f}" for v, b in zip(row, base)))
    print(f"files written: {sizes}")
    print(json.dumps(results))


if __name__ == "__main__":
    main()
