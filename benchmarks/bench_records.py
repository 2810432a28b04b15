"""Timings of the record classes against plain dict access.

Run: CSDK_PKG=<build>/pkg python3 benchmarks/bench_records.py
"""
import os
import sys
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("CSDK_PKG", os.path.join(ROOT, "build", "rel", "pkg")))
sys.path.insert(0, os.path.join(ROOT, "standin"))

import vy.csdk.c_sdk as c_sdk  # noqa: E402

d = {"price": 1.5, "symbol": "SHSE.600000", "quotes": [], "x": 1}
tick = c_sdk.TickLikeDict2(d)
obj = c_sdk.ObjectLikeDict2(d)
bar = c_sdk.BarLikeDict2(d)
TickLikeDict2 = c_sdk.TickLikeDict2


class PyTick:
    """The same record written in Python, for comparison."""
    __slots__ = ["data"]

    def __init__(self, data):
        self.data = data

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, item, value):
        if item != "data":
            self.data[item] = value
        else:
            object.__setattr__(self, item, value)

    @property
    def price(self):
        return self.data.get("price")


pytick = PyTick(d)

CASES = [
    ("d['price']", "dict item read"),
    ("d.get('missing')", "dict get, absent"),
    ("tick.price", "property read"),
    ("tick.missing", "missed attribute read"),
    ("obj.x", "missed attribute read, present key"),
    ("tick['price']", "item read"),
    ("tick.data", "data slot read"),
    ("d['price'] = 2.0", "dict item write"),
    ("tick.price = 2.0", "attribute write (field)"),
    ("tick['price'] = 2.0", "item write"),
    ("tick.data = d", "data slot write"),
    ("'price' in bar", "BarLikeDict2 membership"),
    ("TickLikeDict2(d)", "construction"),
    ("pytick.price", "Python class: property read"),
    ("pytick.missing", "Python class: missed attribute read"),
    ("pytick.price = 2.0", "Python class: attribute write"),
    ("PyTick(d)", "Python class: construction"),
]


def main():
    ns = globals()
    number = 1_000_000
    base = None
    for stmt, label in CASES:
        best = min(timeit.repeat(stmt, globals=ns, number=number, repeat=5)) / number * 1e9
        if base is None:
            base = best
        print(f"{label:38s} {stmt:22s} {best:7.1f} ns  {best / base:4.1f}x")


if __name__ == "__main__":
    main()
