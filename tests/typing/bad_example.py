"""Misuses the stubs must make errors: each checker flags exactly the lines
marked for it, `# E:` both, `# E (pyright):` or `# E (mypy):` one, with the
reason the other cannot.  mypy runs with --disable-memoryview-promotion: by
default it takes a memoryview for bytes wherever bytes is declared."""
from vy.csdk import c_sdk


def on_payload(payload: bytes) -> None:
    print(payload)


c_sdk.py_vyi_get_symbol_infos("req")  # E: a plain query takes no str
c_sdk.py_vyi_set_timer(interval=5)  # E: one parameter: positional only
c_sdk.vyi_add_bus_topic("topic")  # E: direct exports take no str
c_sdk.py_vyi_user_timer(b"1", 2)  # E: an integer parameter
status: str = c_sdk.py_vyi_run()  # E: the status is an int
res: bytes = c_sdk.py_vyi_get_orders(b"r")[1]  # E: the response may be None
c_sdk.py_vyi_set_data_callback(lambda payload: None)  # E: the callable takes two arguments
c_sdk.vyi_now(1)  # E: takes no arguments
c_sdk.py_vyi_get_orders(memoryview(b"r"))  # E: a request is bytes or bytearray, not any buffer
c_sdk.f = on_payload  # E (mypy): takes (str, bytes); pyright checks no rebinding of another module's name

tick = c_sdk.TickLikeDict2({"price": 1.5})
len(tick)  # E: a record has no length
dict(tick)  # E: a record is no mapping
list(tick)  # E: nor iterable
"price" in tick  # E: only BarLikeDict2 answers `in`
for key in tick:  # E: iteration is refused
    pass
del tick["price"]  # E: nor does it delete items
del tick.price  # E (pyright): the field has no deleter; mypy checks no deletion
sorted(c_sdk.ObjectLikeDict2({}))  # E: the generic record is no more iterable
