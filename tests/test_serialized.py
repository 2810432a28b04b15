"""Serialized queries and commands: what reaches the library (function,
bytes, length) and what comes back, over every member; then the edge cases."""

import pytest

from conftest import IS_DEBUG_BUILD, c_sdk, traceback_names
from manifest import COMMANDS, QUERIES

REQUEST = b"req\x00with\x00nuls"


def member(name):
    return getattr(c_sdk, name)


@pytest.mark.parametrize("name, libfn, decorated", QUERIES, ids=[q[0] for q in QUERIES])
def test_every_query(lib, name, libfn, decorated):
    fn = member(name)
    lib.set_response(libfn, b"resp\x00onse")
    assert fn(REQUEST) == (0, b"resp\x00onse")
    lib.set_status(libfn, 7)
    assert fn(bytearray(REQUEST)) == (7, None)
    calls = lib.journal()
    assert [c.fn for c in calls] == [libfn, libfn]
    for c in calls:
        assert c.args == [(REQUEST, len(REQUEST)), "out", "out"]
    lib.clear_journal()
    lib.set_status(libfn, 0)
    if decorated:
        assert fn("ascii text") == (0, b"resp\x00onse")
        assert lib.journal()[0].args[0] == (b"ascii text", 10)
    else:
        with pytest.raises(TypeError, match="expected bytes, str found"):
            fn("ascii text")
        assert lib.journal() == []


@pytest.mark.parametrize("name, libfn, decorated", COMMANDS, ids=[c[0] for c in COMMANDS])
def test_every_command(lib, name, libfn, decorated):
    fn = member(name)
    for status in (0, -3, 12345):
        lib.set_status(libfn, status)
        result = fn(REQUEST)
        assert result == status and type(result) is int
    assert [(c.fn, c.args) for c in lib.journal()] == [(libfn, [(REQUEST, len(REQUEST))])] * 3
    lib.clear_journal()
    if decorated:
        fn("abc")
        assert lib.journal()[0].args == [(b"abc", 3)]
    else:
        with pytest.raises(TypeError):
            fn("abc")
        assert lib.journal() == []


class LyingBytes(bytes):
    def __init__(self, value, claimed):
        self.claimed = claimed

    def __new__(cls, value, claimed):
        return super().__new__(cls, value)

    def __len__(self):
        return self.claimed


class LyingByteArray(bytearray):
    claimed = 0

    def __len__(self):
        return self.claimed


@pytest.mark.parametrize("req, seen", [
    (b"", (b"", 0)),
    (bytearray(), (b"", 0)),
    (bytearray(b"ab\x00c"), (b"ab\x00c", 4)),
    (LyingBytes(b"abcdef", 3), (b"abc", 3)),  # a shorter len() is what the library gets
    (type("B", (bytes,), {})(b"sub"), (b"sub", 3)),
])
@pytest.mark.parametrize("shape", ["query", "command"])
def test_request_forms(lib, req, seen, shape):
    fn = c_sdk.py_vyi_get_symbol_infos if shape == "query" else c_sdk.py_vyi_log
    fn(req)
    (call,) = lib.journal()
    assert call.args[0] == seen


@pytest.mark.parametrize("bad, error, message", [
    (None, TypeError, "has no len"),
    (5, TypeError, "has no len"),
    ([1, 2], TypeError, "expected bytes, list found"),
    (memoryview(b"ab"), TypeError, "expected bytes, memoryview found"),
    (LyingBytes(b"abc", 10), ValueError, "reports 10 bytes but it holds only 3"),
    (LyingBytes(b"abc", 2**31), OverflowError, "2147483648 bytes is too large"),
])
@pytest.mark.parametrize("fn", [c_sdk.py_vyi_get_symbol_infos, c_sdk.py_vyi_log,
                                c_sdk.py_vyi_get_orders, c_sdk.py_vyi_cancel_order])
def test_refused_requests_never_reach_the_library(lib, fn, bad, error, message):
    with pytest.raises(error, match=message) as info:
        fn(bad)
    assert lib.journal() == []
    assert traceback_names(info)[-1].startswith("c_sdk.py_")


@pytest.mark.skipif(IS_DEBUG_BUILD, reason="the debug allocator would touch all 2 GiB")
def test_a_request_of_2_gib_is_refused(lib):
    big = bytes(2**31)
    with pytest.raises(OverflowError):
        c_sdk.py_vyi_get_symbol_infos(big)
    with pytest.raises(OverflowError):
        c_sdk.py_vyi_log(big)
    del big
    assert lib.journal() == []


@pytest.mark.parametrize("fn", [c_sdk.py_vyi_get_symbol_infos, c_sdk.py_vyi_get_orders])
def test_wrong_argument_forms(lib, fn):
    for call in (lambda: fn(), lambda: fn(b"a", b"b"), lambda: fn(req=b"a")):
        with pytest.raises(TypeError):
            call()
    assert lib.journal() == []


def test_response_is_a_copy_that_outlives_the_library_buffer(lib):
    lib.set_response("vyi_get_orders_pb", b"first response")
    status, resp = c_sdk.py_vyi_get_orders(b"")
    c_sdk.py_vyi_get_cash(b"")  # the library scribbles over its last buffer
    assert resp == b"first response"


@pytest.mark.parametrize("null_pointer, length, expected", [
    (True, 0, (0, b"")),
    (False, 0, (0, b"")),
    (True, 5, RuntimeError),
    (False, -1, RuntimeError),
    (True, -7, RuntimeError),
])
def test_contract_breaking_responses(lib, null_pointer, length, expected):
    lib.set_response_raw("vyi_get_symbol_infos", null_pointer, length)
    if expected is RuntimeError:
        with pytest.raises(RuntimeError, match="vyi_get_symbol_infos reported success"):
            c_sdk.py_vyi_get_symbol_infos(b"x")
    else:
        assert c_sdk.py_vyi_get_symbol_infos(b"x") == expected
    lib.set_status("vyi_get_symbol_infos", 1)  # on failure the pair is never read
    assert c_sdk.py_vyi_get_symbol_infos(b"x") == (1, None)


class Weird:
    def __init__(self, eq):
        self.eq = eq

    def __eq__(self, other):
        if isinstance(self.eq, Exception):
            raise self.eq
        return self.eq

    __hash__ = None


def test_success_is_equality_with_the_global_at_each_call(lib, fresh_globals):
    lib.set_response("vyi_get_cash_pb", b"r")
    lib.set_status("vyi_get_cash_pb", 5)
    assert c_sdk.py_vyi_get_cash(b"") == (5, None)
    c_sdk.CSDK_OPERATE_SUCCESS = 5
    assert c_sdk.py_vyi_get_cash(b"") == (5, b"r")
    c_sdk.CSDK_OPERATE_SUCCESS = 5.0  # equality, not identity or type
    assert c_sdk.py_vyi_get_cash(b"") == (5, b"r")
    c_sdk.CSDK_OPERATE_SUCCESS = 2**70  # beyond a C long: the rich comparison decides
    assert c_sdk.py_vyi_get_cash(b"") == (5, None)
    c_sdk.CSDK_OPERATE_SUCCESS = Weird([1])  # the truth of a non-bool result
    assert c_sdk.py_vyi_get_cash(b"") == (5, b"r")
    c_sdk.CSDK_OPERATE_SUCCESS = Weird(ZeroDivisionError("eq"))
    with pytest.raises(ZeroDivisionError):
        c_sdk.py_vyi_get_cash(b"")
    del c_sdk.CSDK_OPERATE_SUCCESS
    lib.clear_journal()
    with pytest.raises(NameError, match="name 'CSDK_OPERATE_SUCCESS' is not defined"):
        c_sdk.py_vyi_get_cash(b"")
    assert [c.fn for c in lib.journal()] == ["vyi_get_cash_pb"]  # raised after the call
    assert c_sdk.py_vyi_log(b"") == 0  # commands never consult it


def test_builtins_stand_in_for_a_missing_global(lib, fresh_globals):
    import builtins
    del c_sdk.CSDK_OPERATE_SUCCESS
    builtins.CSDK_OPERATE_SUCCESS = 3
    try:
        lib.set_status("vyi_get_cash_pb", 3)
        assert c_sdk.py_vyi_get_cash(b"") == (3, b"")
    finally:
        del builtins.CSDK_OPERATE_SUCCESS


def test_bytearray_cannot_be_resized_while_the_library_holds_it(lib, fresh_globals):
    req = bytearray(b"request")
    seen = []

    def on_event(msg_type, payload):
        try:
            req.extend(b"more")
        except BufferError as e:
            seen.append(type(e))

    c_sdk.py_vyi_set_data_callback(on_event)
    lib.push_event("tick", b"")
    lib.deliver_inline("vyi_get_symbol_infos")
    c_sdk.py_vyi_get_symbol_infos(req)
    assert seen == [BufferError]
    req.extend(b"!")  # released after the call
    assert lib.calls("vyi_get_symbol_infos")[0].args[0] == (b"request", 7)
