"""Side-by-side timings of the module's hot paths against a ctypes binding, a
hand-written raw C-API wrapper and, where built, Cython and pybind11
bindings of the same calls.  Run by scripts/bench.sh, which builds everything
into a tree whose libvy3-c.so is the no-op library (noop.cpp) and sets
PYTHONPATH; never by the tests.

Every path is timed in the same process, in interleaved rounds (each round
times every path once, in a shuffled order), and reported as the median
over the rounds, net of the empty timing loop.  Imports are timed in fresh
interpreters, each import in its own."""
import argparse
import ctypes
import importlib
import json
import os
import random
import statistics
import subprocess
import sys
import time
import timeit

import vy.csdk.c_sdk as c_sdk
import noopctl

RESPONSE = bytes(range(32))
REQ = b"\x08\x01\x12\x06SHSE.6"
CONFIG = dict(start_time=b"2024-01-01 09:00:00", end_time=b"2024-06-30 15:00:00", initial_cash=1e6,
              transaction_ratio=1.0, commission_ratio=0.0003, commission_unit=0.0, slippage_ratio=0.0001,
              option_float_margin_ratio1=0.2, option_float_margin_ratio2=0.4, adjust=1, match_mode=0,
              check_cache=1)


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


ideal = importlib.import_module("vy.csdk._bench_ideal")
cython = optional("vy.csdk._bench_cython")
pybind = optional("vy.csdk._bench_pybind11")
lib = noopctl.NoOp()


def ctypes_binding():
    dll = ctypes.PyDLL(noopctl.PATH)
    fn = dll.vyi_get_symbol_infos
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int)]
    ns = vars(c_sdk)

    def query(req, fn=fn, byref=ctypes.byref, c_void_p=ctypes.c_void_p, c_int=ctypes.c_int,
              string_at=ctypes.string_at):
        res, n = c_void_p(), c_int()
        status = fn(req, len(req), byref(res), byref(n))
        if status == ns["CSDK_OPERATE_SUCCESS"]:
            return status, string_at(res, n.value)
        return status, None

    proto = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)
    state = {}

    def callback(msg_type, data, size, string_at=ctypes.string_at):
        state["f"](msg_type.decode(), string_at(data, size))

    cb = proto(callback)

    def use_callback(f):
        state["f"] = f
        dll.vyi_set_event_callback_pb(cb)

    return query, use_callback, cb


ct_query, ct_use_callback, _keep_cb = ctypes_binding()


def timed(stmt, env, number):
    """Seconds per execution of stmt, net of the empty loop."""
    t = timeit.Timer(stmt, globals=env)
    empty = timeit.Timer("pass", globals=env)
    return (t.timeit(number) - empty.timeit(number)) / number


# ---- the paths ------------------------------------------------------------
def call_paths():
    """name -> (statement, globals); per-call timings."""
    str_req = REQ.decode("latin-1")
    tick_cls = c_sdk.TickLikeDict2
    d = {"price": 1.5}
    env = dict(c=c_sdk, ideal=ideal, cy=cython, pb=pybind, ct_query=ct_query, REQ=REQ, S=str_req,
               tick=tick_cls(d), d=d)
    # Literal calls, as host code writes them: positional, and all twelve by keyword.
    names = [f"a{i}" for i in range(len(CONFIG))]
    env.update(zip(names, CONFIG.values()))
    pos = ", ".join(names)
    kw = ", ".join(f"{k}={n}" for k, n in zip(CONFIG, names))
    paths = {
        "query: c_sdk": "c.py_vyi_get_symbol_infos(REQ)",
        "query: raw C METH_O": "ideal.query(REQ)",
        "query: ctypes": "ct_query(REQ)",
        "decorated query, bytes": "c.py_vyi_get_orders(REQ)",
        "decorated query, str": "c.py_vyi_get_orders(S)",
        "backtest_config: positional": f"c.py_vyi_set_backtest_config({pos})",
        "backtest_config: 12 keywords": f"c.py_vyi_set_backtest_config({kw})",
        "backtest_config: raw C, 12 keywords": f"ideal.backtest_config({kw})",
        "tick.price": "tick.price",
        "tick missed field": "tick.symbol",
        "tick attribute outside the fields": "tick.volume",
        "d['price']": "d['price']",
    }
    if cython:
        paths["query: Cython"] = "cy.query(REQ)"
        paths["backtest_config: Cython, 12 keywords"] = f"cy.backtest_config({kw})"
    if pybind:
        paths["query: pybind11"] = "pb.query(REQ)"
        paths["backtest_config: pybind11, 12 keywords"] = f"pb.backtest_config({kw})"
    return {k: (v, env) for k, v in paths.items()}


def event_sink(msg_type, payload):
    pass


FLOOR = "floor (C callback: fresh str and bytes, the call)"
EVENT_RUNNERS = {
    "c_sdk": (lambda: c_sdk.py_vyi_set_data_callback(event_sink), c_sdk.py_vyi_run),
    FLOOR: (lambda: ideal.use_floor_callback(event_sink), ideal.run),
    "ctypes callback": (lambda: ct_use_callback(event_sink), ideal.run),
}


def time_events(runner, size, count):
    use, run = EVENT_RUNNERS[runner]
    use()
    lib.set_events("tick", size, count)
    t0 = time.perf_counter()
    run()
    return (time.perf_counter() - t0) / count


# ---- import time -------------------------------------------------------------
# A fresh interpreter with the module's own imports done; every module is
# imported the same way, from the package directory beside c_sdk, and loads
# the same library.
IMPORT_PROBE = """
import sys, time, functools, platform, vy.constant, vy.utils, vy.csdk
t0 = time.perf_counter()
from vy.csdk import {mod}
print(time.perf_counter() - t0)
"""
IMPORTS = {"import: c_sdk": "c_sdk", "import: empty C module": "_bench_empty",
           "import: synthetic module": "_bench_synthetic"}


def import_time(mod):
    out = subprocess.run([sys.executable, "-c", IMPORT_PROBE.format(mod=mod)], capture_output=True, text=True,
                         check=True, env=os.environ)
    return float(out.stdout)


# ---- the goals -----------------------------------------------------------------
# (label, path, yardstick, goal): the ratio of two medians of the same run;
# rows without a goal are for comparison.
ROWS = [
    ("query 32 B / raw C METH_O", "query: c_sdk", "query: raw C METH_O", 0.85),
    ("decorated query, bytes / undecorated", "decorated query, bytes", "query: c_sdk", 1.15),
    ("decorated query, str / undecorated", "decorated query, str", "query: c_sdk", 1.45),
    ("event 64 B / floor", "event 64 B: c_sdk", f"event 64 B: {FLOOR}", 0.80),
    ("event 4 KiB / floor", "event 4096 B: c_sdk", f"event 4096 B: {FLOOR}", 0.92),
    ("tick.price / d['price']", "tick.price", "d['price']", 1.6),
    ("missed field / d['price']", "tick missed field", "d['price']", 1.6),
    ("backtest_config 12 kw / positional", "backtest_config: 12 keywords", "backtest_config: positional", 1.2),
    ("import, own work / empty module", "import: c_sdk", "import: empty C module", 2.0),
    ("import, synthetic / empty module", "import: synthetic module", "import: empty C module", None),
    ("import, c_sdk / synthetic", "import: c_sdk", "import: synthetic module", None),
    ("query 32 B, ctypes / raw C", "query: ctypes", "query: raw C METH_O", None),
    ("query 32 B, Cython / raw C", "query: Cython", "query: raw C METH_O", None),
    ("query 32 B, pybind11 / raw C", "query: pybind11", "query: raw C METH_O", None),
    ("event 64 B, ctypes / floor", "event 64 B: ctypes callback", f"event 64 B: {FLOOR}", None),
    ("backtest_config 12 kw / raw C 12 kw", "backtest_config: 12 keywords", "backtest_config: raw C, 12 keywords",
     None),
    ("backtest_config Cython 12 kw / positional", "backtest_config: Cython, 12 keywords",
     "backtest_config: positional", None),
    ("backtest_config pybind11 12 kw / positional", "backtest_config: pybind11, 12 keywords",
     "backtest_config: positional", None),
]


# ---- driver ----------------------------------------------------------------
def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--number", type=int, default=20000)
    ap.add_argument("--events", type=int, default=5000)
    ap.add_argument("--imports", type=int, default=25, help="fresh interpreters per imported module")
    ap.add_argument("--name", default="", help="the interpreter's name in the results")
    ap.add_argument("--json", help="write the results here")
    args = ap.parse_args()

    lib.set_response(RESPONSE)
    ideal.bind(c_sdk)

    paths = call_paths()
    events = [(r, s) for s in (64, 4096) for r in EVENT_RUNNERS]
    samples = {k: [] for k in paths}
    samples.update({f"event {s} B: {r}": [] for r, s in events})
    samples.update({k: [] for k in IMPORTS})
    rounds = max(args.rounds, args.imports)
    for rnd in range(rounds):
        jobs = []
        if rnd < args.rounds:
            jobs += [("call", k) for k in paths] + [("event", e) for e in events]
        if rnd < args.imports:
            jobs += [("import", k) for k in IMPORTS]
        random.shuffle(jobs)
        for kind, key in jobs:
            if kind == "call":
                stmt, env = paths[key]
                samples[key].append(timed(stmt, env, args.number))
            elif kind == "event":
                runner, size = key
                samples[f"event {size} B: {runner}"].append(time_events(runner, size, args.events))
            else:
                samples[key].append(import_time(IMPORTS[key]))
        print(f"round {rnd + 1}/{rounds}", file=sys.stderr, end="\r")
    print(file=sys.stderr)
    med = {k: statistics.median(v) * 1e9 for k, v in samples.items() if v}

    version = sys.version.split()[0]
    load = os.getloadavg()[0]
    print(f"\n{args.name or sys.executable}: Python {version}, {args.rounds} rounds, {args.imports} imports, "
          f"load {load:.2f}; medians (ns per call; imports in us)\n")
    for k in sorted(med):
        unit = med[k] / 1000 if k.startswith("import") else med[k]
        print(f"  {k:58} {unit:10.1f}")
    print(f"\n  {'ratio':46} {'value':>7}  {'goal':>7}")
    table = []
    for label, a, b, goal in ROWS:
        if a in med and b in med and med[b] > 0:
            r = med[a] / med[b]
            mark = "" if goal is None else ("pass" if r <= goal else "MISS")
            print(f"  {label:46} {r:7.2f}  {'' if goal is None else f'<= {goal}':>7}  {mark}")
            table.append((label, r, goal))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"name": args.name, "python": version, "load": load, "medians_ns": med, "ratios": table},
                      fh, indent=1)


if __name__ == "__main__":
    main()
