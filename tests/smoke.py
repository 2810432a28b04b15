"""Smoke checks for an interpreter without pytest: import, a query, a failing
status logged, and the decorator."""
import logging
import sys

import vy.csdk.c_sdk as c_sdk
import vystandin

lib = vystandin.StandIn()
lib.reset()
assert c_sdk.py_vyi_get_orders("req") == (0, b"")
lib.set_status("vyi_get_orders_pb", 3)
assert c_sdk.py_vyi_get_orders(b"req") == (3, None)
assert [c.fn for c in lib.journal()] == ["vyi_get_orders_pb"] * 2
records = []
handler = logging.Handler()
handler.emit = records.append
c_sdk.vysdklogger.addHandler(handler)
c_sdk.vysdklogger.setLevel(logging.DEBUG)
assert c_sdk.c_status_fail(3, "py_vyi_get_orders") is True
assert records[0].getMessage() == "invoke c fun=py_vyi_get_orders error code=3, error info=stand-in error 3"
assert c_sdk.is_linux() is (sys.platform == "linux")
print("smoke checks passed")
