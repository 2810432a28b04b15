"""Instructions per call under callgrind, for the interpreter running this
script: stable enough to compare two commits, where timings on a shared
machine are not.  Run by scripts/bench.sh with PYTHONPATH on the no-op tree
and PYTHONHASHSEED=0.

Calls and reads are the difference of two runs (N1 and N2 times through the
same loop, so start-up cancels out) divided by N2 - N1, less the same figure
for the empty loop: what the call or read itself costs, the interpreter's
call instruction included.  Events count only what runs inside vyi_run(),
per event.  Imports are the difference of a fresh interpreter that imports
the module after the module's own imports and one that stops before it.

    python benchmarks/callgrind.py [--json FILE] [PATH...]
"""
import argparse
import functools
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE = os.path.join(HERE, "cg_probe.py")
CALLS = ["query", "query raw C", "decorated bytes", "decorated str", "tick.price", "tick missed field", "d['price']",
         "backtest positional", "backtest 12 keywords"]
EVENTS = ["event64", "event64 floor"]
IMPORTS = ["import c_sdk", "import empty", "import synthetic"]
IMPORT_PROBE = """
import sys, functools, platform, vy.constant, vy.utils, vy.csdk
if sys.argv[1] != "none":
    __import__("vy.csdk." + sys.argv[1])
"""
N1, N2 = 2_000, 12_000
N_EVENTS = 10_000


def total(path, n, *options, probe=(PROBE,)):
    with tempfile.TemporaryDirectory(prefix="cg-") as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *options, sys.executable,
                        *probe, path, str(n)], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as fh:
            for line in fh:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError(f"no totals from callgrind for {path}")


def loop_cost(path):
    return (total(path, N2) - total(path, N1)) / (N2 - N1)


@functools.lru_cache(maxsize=None)
def import_total(mod):
    return total(mod, 0, probe=("-c", IMPORT_PROBE))


def per_call(path, empty_loop):
    if path.startswith("import "):
        mod = {"c_sdk": "c_sdk", "empty": "_bench_empty", "synthetic": "_bench_synthetic"}[path.split()[1]]
        return import_total(mod) - import_total("none")
    if path.startswith("event"):
        return total(path, N_EVENTS, "--toggle-collect=vyi_run") / N_EVENTS
    return loop_cost(path) - empty_loop


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--json", help="add the counts to this results file")
    ap.add_argument("--name", default="", help="the interpreter's name in the results")
    ap.add_argument("paths", nargs="*", default=CALLS + EVENTS + IMPORTS)
    args = ap.parse_args()
    counts = {}
    print(f"callgrind, instructions per call ({sys.version.split()[0]}):")
    empty_loop = loop_cost("loop")
    for path in args.paths:
        counts[path] = round(per_call(path, empty_loop))
        print(f"  {path:18s} {counts[path]:8d}", flush=True)
    if args.json:
        results = {"name": args.name, "python": sys.version.split()[0], "ratios": []}
        if os.path.exists(args.json):
            with open(args.json) as fh:
                results = json.load(fh)
        results["callgrind"] = counts
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)


if __name__ == "__main__":
    main()
