"""Host-package code the stubs must accept: both checkers pass it."""
from __future__ import annotations

from typing import Any, Optional, Tuple

from vy.csdk import c_sdk


def on_event(msg_type: str, payload: bytes) -> None:
    print(msg_type, len(payload))


def orders(account: str) -> Optional[bytes]:
    status, res = c_sdk.py_vyi_get_orders(account)  # decorated: str is encoded
    if c_sdk.c_status_fail(status, "py_vyi_get_orders"):
        return None
    return res


def main() -> None:
    c_sdk.py_vyi_set_data_callback(on_event)
    c_sdk.py_vyi_set_token(b"token")
    c_sdk.py_vyi_subscribe(symbols="A.1", frequency="tick", unsubscribe_previous=False)
    pair: Tuple[int, Optional[bytes]] = c_sdk.py_vyi_get_symbol_infos(bytearray(b"req"))
    status: int = c_sdk.py_vyi_cancel_order(b"req")
    c_sdk.py_vyi_set_backtest_config(b"s", b"e", 1_000_000, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1, 0, True)
    reorder: int = c_sdk.py_vyi_smart_reorder("A.1", 10.5, 100, 1, 1, 1, 3, 2, 30, 5, "acc")
    addr: Optional[bytes] = c_sdk.py_vyi_get_serv_addr("md")
    text: bytes = c_sdk.py_vyi_strerror(status)
    now: int = c_sdk.vyi_now()
    c_sdk.vyi_set_bus_secure(1, b"ca", b"cert", b"key", skip_verify=None)
    sent: int = c_sdk.vyi_send_msg_to_bus(msg=b"m", topic=b"t")
    # The event callable the module calls, read and rebound as host code does.
    if c_sdk.f is not None:
        c_sdk.f("timer", b"")
    c_sdk.f = on_event
    tick = c_sdk.TickLikeDict2({"price": 1.5, "quotes": [{"bid_p": 1.4}]})
    tick.price = 2.0
    tick["volume"] = 10
    best = c_sdk.QuoteItemLikeDict2(tick.quotes[0])
    spread: float = tick.price - best.bid_p
    extra: Any = tick.anything_the_mapping_holds
    tick.data = {"price": 3.0}
    bar = c_sdk.BarLikeDict2({"open": 1})
    found: bool = "open" in bar
    obj = c_sdk.ObjectLikeDict2({"cl_ord_id": "1"})
    if tick and obj:  # a record is always true
        print(obj.cl_ord_id, obj["cl_ord_id"], str(obj), repr(tick), len(tick.data))
    ok: bool = c_sdk.c_status_ok(reorder) and c_sdk.is_linux()
    wrapped = c_sdk.adapt_to_python3(c_sdk.py_vyi_get_cash)
    print(pair, status, addr, text, now, sent, tick.symbol, found, ok, spread, extra, wrapped(b"r"),
          c_sdk.CSDK_OPERATE_SUCCESS, orders("acc"))
    c_sdk.vysdklogger.debug("done")
