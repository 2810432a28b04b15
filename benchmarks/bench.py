"""Side-by-side timings of the module's hot paths against a ctypes binding, a
hand-written raw C-API wrapper and, where built, Cython and pybind11
bindings of the same calls.  Run by scripts/bench.sh, which builds everything
and sets PYTHONPATH; never by the tests.

Every path is timed in the same process, in interleaved rounds (each round
times every path once, in a shuffled order), and reported as the median
over the rounds, net of the empty timing loop.  The stand-in library runs
with journaling off, so each SDK call is close to a no-op."""
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
import vystandin

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


ideal = importlib.import_module("_bench_ideal")
cython = optional("_bench_cython")
pybind = optional("_bench_pybind11")
lib = vystandin.StandIn()


def ctypes_binding():
    dll = ctypes.PyDLL(vystandin.default_library_path())
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


EVENT_RUNNERS = {
    "c_sdk": (lambda: c_sdk.py_vyi_set_data_callback(event_sink), c_sdk.py_vyi_run),
    "floor (C callback: fresh str and bytes, the call)": (lambda: ideal.use_floor_callback(event_sink), ideal.run),
    "ctypes callback": (lambda: ct_use_callback(event_sink), ideal.run),
}


def time_events(runner, size, count):
    use, run = EVENT_RUNNERS[runner]
    payload = bytes(size)
    use()
    for _ in range(count):
        lib.push_event("tick", payload)
    t0 = time.perf_counter()
    run()
    return (time.perf_counter() - t0) / count


# ---- import time -------------------------------------------------------------
IMPORT_PROBE = """
import sys, time, functools, platform, vy, vy.csdk, vy.constant, vy.utils
t0 = time.perf_counter()
import {mod}
print(time.perf_counter() - t0)
"""


def import_time(mod):
    out = subprocess.run([sys.executable, "-c", IMPORT_PROBE.format(mod=mod)], capture_output=True, text=True,
                         check=True, env=os.environ)
    return float(out.stdout)


# ---- driver ----------------------------------------------------------------
def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--number", type=int, default=20000)
    ap.add_argument("--events", type=int, default=5000)
    ap.add_argument("--imports", type=int, default=15)
    ap.add_argument("--json", help="write the results here")
    args = ap.parse_args()

    lib.reset()
    lib.set_journaling(False)
    for fn in ("vyi_get_symbol_infos", "vyi_get_orders_pb"):
        lib.set_response(fn, RESPONSE)
    ideal.bind(c_sdk)

    paths = call_paths()
    events = [(r, s) for s in (64, 4096) for r in EVENT_RUNNERS]
    samples = {k: [] for k in paths}
    samples.update({f"event {s} B: {r}": [] for r, s in events})
    samples.update({"import: c_sdk": [], "import: empty C module": []})
    for rnd in range(args.rounds):
        jobs = [("call", k) for k in paths] + [("event", e) for e in events]
        random.shuffle(jobs)
        for kind, key in jobs:
            if kind == "call":
                stmt, env = paths[key]
                samples[key].append(timed(stmt, env, args.number))
            else:
                runner, size = key
                samples[f"event {size} B: {runner}"].append(time_events(runner, size, args.events))
        if rnd < args.imports:
            for name, mod in random.sample([("import: c_sdk", "vy.csdk.c_sdk"),
                                            ("import: empty C module", "_bench_empty")], 2):
                samples[name].append(import_time(mod))
        print(f"round {rnd + 1}/{args.rounds}", file=sys.stderr, end="\r")
    print(file=sys.stderr)
    lib.reset()
    med = {k: statistics.median(v) * 1e9 for k, v in samples.items() if v}

    def ratio(a, b):
        return med[a] / med[b] if a in med and b in med and med[b] > 0 else None

    rows = [
        ("query 32 B", "query: c_sdk", "query: raw C METH_O", "<= 1.0"),
        ("query 32 B, ctypes", "query: ctypes", "query: raw C METH_O", ""),
        ("query 32 B, Cython", "query: Cython", "query: raw C METH_O", ""),
        ("query 32 B, pybind11", "query: pybind11", "query: raw C METH_O", ""),
        ("event 64 B", "event 64 B: c_sdk", "event 64 B: floor (C callback: fresh str and bytes, the call)", "<= 1.0"),
        ("event 4 KiB", "event 4096 B: c_sdk", "event 4096 B: floor (C callback: fresh str and bytes, the call)",
         "<= 1.0"),
        ("event 64 B, ctypes", "event 64 B: ctypes callback",
         "event 64 B: floor (C callback: fresh str and bytes, the call)", ""),
        ("import (own work)", "import: c_sdk", "import: empty C module", "<= 2.0"),
        ("backtest_config 12 kw / positional", "backtest_config: 12 keywords", "backtest_config: positional",
         "<= 1.5"),
        ("backtest_config 12 kw / raw C", "backtest_config: 12 keywords", "backtest_config: raw C, 12 keywords", ""),
        ("backtest_config Cython 12 kw / positional", "backtest_config: Cython, 12 keywords",
         "backtest_config: positional", ""),
        ("backtest_config pybind11 12 kw / positional", "backtest_config: pybind11, 12 keywords",
         "backtest_config: positional", ""),
        ("decorated query, bytes / undecorated", "decorated query, bytes", "query: c_sdk", "<= 1.4"),
        ("decorated query, str / undecorated", "decorated query, str", "query: c_sdk", "<= 1.7"),
        ("tick.price / d['price']", "tick.price", "d['price']", "<= 2.2"),
        ("missed field / d['price']", "tick missed field", "d['price']", "<= 2.0"),
    ]
    print(f"\n{sys.version.split()[0]}, {args.rounds} rounds, medians (ns per call; import in us)\n")
    print(f"{'path':58} {'ns':>10}")
    for k in sorted(med):
        unit = med[k] / 1000 if k.startswith("import") else med[k]
        print(f"{k:58} {unit:10.1f}")
    print(f"\n{'ratio':46} {'value':>7}  {'goal':>7}")
    table = []
    for label, a, b, goal in rows:
        r = ratio(a, b)
        if r is not None:
            print(f"{label:46} {r:7.2f}  {goal:>7}")
            table.append((label, r, goal))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"medians_ns": med, "ratios": table, "python": sys.version}, fh, indent=1)


if __name__ == "__main__":
    main()
