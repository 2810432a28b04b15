"""Reference-leak checks (debug interpreter): every module function of the
spine on its success, failure and error paths."""
import logging

import pytest

from conftest import c_sdk, needs_debug_build, raising, refcount_growth
from manifest import COMMANDS, QUERIES

pytestmark = needs_debug_build


class LyingBytes(bytes):
    def __len__(self):
        return 99


def spine_actions(lib):
    # A logger that keeps nothing (pytest's capture would keep every record).
    quiet = logging.getLogger("csdk.refleak")
    quiet.setLevel(logging.DEBUG)
    quiet.propagate = False
    if not quiet.handlers:
        quiet.addHandler(logging.NullHandler())
    c_sdk.vysdklogger = quiet
    w = c_sdk.adapt_to_python3(lambda *a, **k: a)
    return {
        "query ok": lambda: c_sdk.py_vyi_get_orders(b"abc"),
        "query str": lambda: c_sdk.py_vyi_get_orders("abc"),
        "query bytearray": lambda: c_sdk.py_vyi_get_symbol_infos(bytearray(b"abc")),
        "query failing": lambda: c_sdk.py_vyi_get_cash(b"x"),
        "query bad type": raising(c_sdk.py_vyi_get_symbol_infos, [1]),
        "query lying len": raising(c_sdk.py_vyi_get_symbol_infos, LyingBytes(b"x")),
        "query no len": raising(c_sdk.py_vyi_get_symbol_infos, None),
        "query non-ascii": raising(c_sdk.py_vyi_get_orders, "é"),
        "query broken response": raising(c_sdk.py_vyi_get_positions, b""),
        "command": lambda: c_sdk.py_vyi_log(b"abc"),
        "command bad": raising(c_sdk.py_vyi_log, "abc"),
        "decorator": lambda: w("a", b"b", k="c"),
        "decorator many": lambda: w(*["s"] * 20, k="v"),
        "decorator bad": raising(w, "é"),
        "status ok": lambda: (c_sdk.c_status_ok(0), c_sdk.c_status_ok(1)),
        "status fail": lambda: (c_sdk.c_status_fail(3), c_sdk.c_status_fail(3, "fn"), c_sdk.c_status_fail(0)),
        "status fail bad": raising(c_sdk.c_status_fail, "x"),
        "strerror": lambda: (c_sdk.py_vyi_strerror(1), c_sdk.py_vyi_get_ext_errormsg()),
        "strerror bad": raising(c_sdk.py_vyi_strerror, 2**40),
        "platform": lambda: (c_sdk.is_linux(), c_sdk.is_windows()),
        "arity": raising(c_sdk.py_vyi_subscribe, "a"),
    }


NAMES = ["query ok", "query str", "query bytearray", "query failing", "query bad type", "query lying len",
         "query no len", "query non-ascii", "query broken response", "command", "command bad", "decorator",
         "decorator many", "decorator bad", "status ok", "status fail", "status fail bad", "strerror",
         "strerror bad", "platform", "arity"]


@pytest.mark.parametrize("case", NAMES)
def test_no_leak(lib, fresh_globals, case):
    lib.set_status("vyi_get_cash_pb", 4)
    lib.set_response("vyi_get_orders_pb", b"response bytes")
    lib.set_response_raw("vyi_get_positions_pb", True, 3)
    assert refcount_growth(spine_actions(lib)[case]) < 10


def test_every_query_and_command_is_leak_free(lib):
    def action():
        for name, _, _ in QUERIES + COMMANDS:
            getattr(c_sdk, name)(b"x")
    assert refcount_growth(action, loops=20) < 10
