"""One path, N times, for instruction counts under callgrind
(benchmarks/callgrind.py takes the difference of two runs for the calls and
reads, and counts only inside vyi_run() for the events)."""
import sys

import vy.csdk.c_sdk as c_sdk
from vy.csdk import _bench_ideal as ideal
from noopctl import NoOp

path, n = sys.argv[1], int(sys.argv[2])
lib = NoOp()
lib.set_response(bytes(range(32)))
ideal.bind(c_sdk)
REQ = b"\x08\x01\x12\x06SHSE.6"
S = REQ.decode("latin-1")
d = {"price": 1.5}
tick = c_sdk.TickLikeDict2(d)


def sink(msg_type, payload):
    pass


def call_loop(fn, arg):
    for _ in range(n):
        fn(arg)


def price_loop(t):
    for _ in range(n):
        t.price


def missed_loop(t):
    for _ in range(n):
        t.symbol


def item_loop(t):
    for _ in range(n):
        t["price"]


def backtest_positional():
    f = c_sdk.py_vyi_set_backtest_config
    for _ in range(n):
        f(b"2024-01-01", b"2024-12-31", 1e6, 1.0, 0.0003, 0.0, 0.0001, 0.2, 0.4, 1, 0, 1)


def backtest_keywords():
    f = c_sdk.py_vyi_set_backtest_config
    for _ in range(n):
        f(start_time=b"2024-01-01", end_time=b"2024-12-31", initial_cash=1e6, transaction_ratio=1.0,
          commission_ratio=0.0003, commission_unit=0.0, slippage_ratio=0.0001, option_float_margin_ratio1=0.2,
          option_float_margin_ratio2=0.4, adjust=1, match_mode=0, check_cache=1)


def empty_loop(t):
    for _ in range(n):
        t


if path.startswith("event"):
    ours = path == "event64"
    (c_sdk.py_vyi_set_data_callback if ours else ideal.use_floor_callback)(sink)
    lib.set_events("tick", 64, n)
    (c_sdk.py_vyi_run if ours else ideal.run)()
elif path == "loop":
    empty_loop(d)
elif path == "tick.price":
    price_loop(tick)
elif path == "tick missed field":
    missed_loop(tick)
elif path == "d['price']":
    item_loop(d)
elif path == "backtest positional":
    backtest_positional()
elif path == "backtest 12 keywords":
    backtest_keywords()
else:
    fn, arg = {
        "query": (c_sdk.py_vyi_get_symbol_infos, REQ),
        "query raw C": (ideal.query, REQ),
        "decorated bytes": (c_sdk.py_vyi_get_orders, REQ),
        "decorated str": (c_sdk.py_vyi_get_orders, S),
    }[path]
    call_loop(fn, arg)
