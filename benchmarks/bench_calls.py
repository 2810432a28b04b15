"""Call cost of the module's calling shapes against the stand-in library,
side by side with an empty built-in call, a ctypes call of the same library
function and a decorator written in Python.  Not run by the tests.

    PYTHONPATH=build/deb/pkg:standin python3 benchmarks/bench_calls.py
"""
import ctypes
import json
import timeit

import vy.csdk.c_sdk as c_sdk
import vystandin

N = 300_000


def per_call(stmt, namespace):
    return min(timeit.repeat(stmt, globals=namespace, number=N, repeat=5)) / N * 1e9


def python_decorator(func):
    def wrapper(*args, **kwargs):
        args = [a.encode("ascii") if isinstance(a, str) else a for a in args]
        return func(*args, **kwargs)
    return wrapper


def main():
    lib = vystandin.StandIn()
    lib.reset()
    lib.set_journaling(False)
    raw = lib.lib.vyi_get_symbol_infos
    res, res_len = ctypes.c_void_p(), ctypes.c_int()
    req = b"x" * 32
    tick = c_sdk.TickLikeDict2({"price": 1.5, "symbol": "A"}) if hasattr(c_sdk, "TickLikeDict2") else None
    ns = dict(c=c_sdk, req=req, len=len, raw=raw, res=res, res_len=res_len, ctypes=ctypes,
              pydec=python_decorator(c_sdk.py_vyi_get_symbol_infos), d={"price": 1.5}, tick=tick)
    rows = [
        ("empty built-in: len(req)", "len(req)"),
        ("serialized query (plain)", "c.py_vyi_get_symbol_infos(req)"),
        ("serialized query (decorated)", "c.py_vyi_get_orders(req)"),
        ("same, decorator in Python", "pydec(req)"),
        ("same, through ctypes", "raw(req, len(req), ctypes.byref(res), ctypes.byref(res_len))"),
        ("serialized command", "c.py_vyi_log(req)"),
        ("typed call, 3 arguments", "c.py_vyi_subscribe(b'A', b'tick', False)"),
        ("status predicate", "c.c_status_ok(0)"),
        ("dict read d['price']", "d['price']"),
    ]
    if tick is not None:
        rows += [("record field tick.price", "tick.price"), ("record missed read tick.volume", "tick.volume")]
    base = per_call("len(req)", ns)
    results = {}
    for label, stmt in rows:
        t = per_call(stmt, ns)
        results[label] = t
        print(f"{label:36s} {t:8.1f} ns  {t / base:6.2f}x")
    print(json.dumps({k: round(v, 1) for k, v in results.items()}))


if __name__ == "__main__":
    main()
