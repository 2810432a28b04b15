"""Calls the stubs must reject: mypy fails on every marked line."""
from vy.csdk import c_sdk

c_sdk.py_vyi_get_symbol_infos("req")  # E: a plain query takes no str
c_sdk.py_vyi_set_timer(interval=5)  # E: one parameter: positional only
c_sdk.vyi_add_bus_topic("topic")  # E: direct exports take no str
c_sdk.py_vyi_user_timer(b"1", 2)  # E: an integer parameter
status: str = c_sdk.py_vyi_run()  # E: the status is an int
res: bytes = c_sdk.py_vyi_get_orders(b"r")[1]  # E: the response may be None
c_sdk.py_vyi_set_data_callback(lambda payload: None)  # E: the callable takes two arguments
c_sdk.vyi_now(1)  # E: takes no arguments
