"""A small strategy: it logs in, subscribes to one symbol, buys once when the
price dips below its limit, and stops after the order report."""
import json

import vy.csdk.c_sdk as c_sdk


class DipBuyer:
    def __init__(self, symbol, limit, volume=100):
        self.symbol, self.limit, self.volume = symbol, limit, volume
        self.prices = []
        self.order = None
        self.report = None

    def on_event(self, msg_type, payload):
        if msg_type == "tick":
            tick = json.loads(payload)
            self.prices.append(tick["price"])
            if self.order is None and tick["price"] < self.limit:
                self.buy(tick["price"])
        elif msg_type == "order_report":
            self.report = json.loads(payload)
            c_sdk.py_vyi_stop()

    def buy(self, price):
        request = {"symbol": self.symbol, "side": "buy", "volume": self.volume, "price": price}
        status, response = c_sdk.py_vyi_place_order(json.dumps(request).encode())
        if c_sdk.c_status_ok(status):
            self.order = json.loads(response)

    def run(self, token):
        c_sdk.py_vyi_set_data_callback(self.on_event)
        if not c_sdk.c_status_ok(c_sdk.py_vyi_set_token(token)):
            raise RuntimeError("login refused")
        c_sdk.py_vyi_subscribe(self.symbol, "tick", False)
        c_sdk.py_vyi_run()
