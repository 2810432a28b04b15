"""A small strategy driven the way the host package drives c_sdk, run against
the stand-in library: it subscribes, watches ticks, buys once the price dips
below its limit, stops after the order report and prints what it saw and did.

    PYTHONPATH=build/deb/pkg:standin python3 examples/demo.py
"""
import json
import logging
import os
import sys
from typing import List, Optional

import vy.csdk.c_sdk as c_sdk
import vystandin

SYMBOL = "SHSE.600000"
BUY_BELOW = 10.45
EVENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "session.events")


class DipBuyer:
    """Buys 100 shares the first time the price falls below BUY_BELOW."""

    def __init__(self) -> None:
        self.ticks: List[c_sdk.TickLikeDict2] = []
        self.timers = 0
        self.order: Optional[c_sdk.ObjectLikeDict2] = None
        self.report: Optional[c_sdk.ObjectLikeDict2] = None

    def on_event(self, msg_type: str, payload: bytes) -> None:
        if msg_type == "tick":
            self.on_tick(c_sdk.TickLikeDict2(json.loads(payload)))
        elif msg_type == "order_report":
            self.report = c_sdk.ObjectLikeDict2(json.loads(payload))
            print(f"  order report: {self.report.cl_ord_id} {self.report.status}, "
                  f"{self.report.filled_volume} @ {self.report.filled_price}")
            c_sdk.py_vyi_stop()  # done: ends the run after this event
        elif msg_type == "timer":
            self.timers += 1

    def on_tick(self, tick: c_sdk.TickLikeDict2) -> None:
        self.ticks.append(tick)
        best = c_sdk.QuoteItemLikeDict2(tick.quotes[0])
        print(f"  tick {tick.created_at} {tick.symbol} price={tick.price} "
              f"bid={best.bid_p}x{best.bid_v} ask={best.ask_p}x{best.ask_v}")
        if self.order is None and tick.price < BUY_BELOW:
            self.place(tick)

    def place(self, tick: c_sdk.TickLikeDict2) -> None:
        request = json.dumps({"symbol": tick.symbol, "side": "buy", "volume": 100,
                              "price": tick.price}).encode()
        status, response = c_sdk.py_vyi_place_order(request)
        # A success status always comes with a response; the check states it.
        if c_sdk.c_status_fail(status, "py_vyi_place_order") or response is None:
            return
        self.order = c_sdk.ObjectLikeDict2(json.loads(response))
        print(f"  placed order {self.order.cl_ord_id}: buy 100 {tick.symbol} @ {tick.price}")


def main() -> int:
    logging.basicConfig(level=logging.DEBUG, format="  log %(name)s %(levelname)s: %(message)s",
                        stream=sys.stdout)
    lib = vystandin.StandIn()
    lib.reset()
    # What the stand-in answers: an accepted order, and a cash query it refuses.
    lib.set_response("vyi_place_order_pb", json.dumps({"cl_ord_id": "demo-1", "status": "new"}).encode())
    lib.set_status("vyi_get_cash_pb", 1017)
    lib.set_text("vyi_strerror", b"account not logged in")
    lib.load_event_file(EVENTS)

    strategy = DipBuyer()
    print("session setup")
    c_sdk.py_vyi_set_data_callback(strategy.on_event)
    print(f"  set_token -> ok={c_sdk.c_status_ok(c_sdk.py_vyi_set_token('demo-token'))}")
    c_sdk.py_vyi_set_serv_addr("127.0.0.1:7001")
    print(f"  subscribe -> ok={c_sdk.c_status_ok(c_sdk.py_vyi_subscribe(SYMBOL, 'tick', False))}")
    c_sdk.py_vyi_set_timer(500)
    status, cash = c_sdk.py_vyi_get_cash(json.dumps({"account": "demo"}))
    c_sdk.c_status_fail(status, "py_vyi_get_cash")  # logs the library's text for the code

    print("running")
    c_sdk.py_vyi_run()

    print("summary")
    print(f"  ticks seen: {len(strategy.ticks)}, last price {strategy.ticks[-1].price}")
    print(f"  timer events: {strategy.timers}")
    if strategy.order is not None:
        print(f"  order placed: {strategy.order.cl_ord_id} buy 100 {SYMBOL}")
    print(f"  order report: {strategy.report.status if strategy.report else 'none'}")
    print(f"  events left unplayed: {lib.pending_events()}")
    print(f"  library calls: {', '.join(c.fn for c in lib.journal())}")
    return 0 if strategy.order is not None and strategy.report is not None else 1


if __name__ == "__main__":
    sys.exit(main())
