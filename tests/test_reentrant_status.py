"""The success test of the calls that read a response after it, when
CSDK_OPERATE_SUCCESS is an object whose comparison calls back into the
library: the library's next call overwrites its earlier response (the
stand-in scribbles 0xA5 over it), so the response must be read before such a
comparison, and used only if the comparison then says success."""
import pytest

from conftest import c_sdk

RESPONSE = b"\x08\x01response\x00bytes"
ADDRESS = b"10.0.0.1:7001"

# (Python name, library function, arguments, result for success)
SHAPES = [
    ("py_vyi_get_orders", "vyi_get_orders_pb", (b"req",), (0, RESPONSE)),
    ("py_vyi_get_symbol_infos", "vyi_get_symbol_infos", (b"req",), (0, RESPONSE)),
    ("py_vyi_current", "vyi_current_pb", (b"s", b"f", True), (0, RESPONSE)),
    ("py_vyi_get_accounts", "vyi_get_account_info_pb", (), (0, RESPONSE)),
    ("py_vyi_algo_order_batch", "vyi_algo_order_batch_pb", (b"r", b"n", b"p"), (0, RESPONSE)),
    ("py_vyi_get_child_orders", "vyi_get_child_orders_pb", (b"a", b"b"), (0, RESPONSE)),
    ("py_vyi_get_serv_addr", "vyi_get_serv_addr", (b"id",), ADDRESS),
]
FAILED = {"py_vyi_get_serv_addr": None}


def program(lib, libfn, status=0):
    lib.set_status(libfn, status)
    if libfn == "vyi_get_serv_addr":
        lib.set_text(libfn, ADDRESS)
    else:
        lib.set_response(libfn, RESPONSE)


class CallsBack:
    """A success value whose == and != call into the library first."""

    def __init__(self, value=0, raises=None):
        self.value, self.raises, self.compared = value, raises, []

    def _compare(self, other):
        c_sdk.py_vyi_get_ext_errormsg()  # any module function reaching the library
        self.compared.append(other)
        if self.raises:
            raise self.raises
        return other == self.value

    def __eq__(self, other):
        return self._compare(other)

    def __ne__(self, other):
        return not self._compare(other)

    __hash__ = None


@pytest.fixture
def success(fresh_globals):
    def bind(value):
        c_sdk.CSDK_OPERATE_SUCCESS = value
        return value
    return bind


@pytest.mark.parametrize("name,libfn,args,expected", SHAPES, ids=[s[0] for s in SHAPES])
def test_response_survives_a_comparison_that_calls_the_library(lib, success, name, libfn, args, expected):
    program(lib, libfn)
    s = success(CallsBack(0))
    assert getattr(c_sdk, name)(*args) == expected
    assert s.compared == [0]  # same operands, compared once
    # The comparison ran after the call: its library call follows in the journal.
    assert [c.fn for c in lib.journal()] == [libfn, "vyi_get_ext_errormsg"]


@pytest.mark.parametrize("name,libfn,args,expected", SHAPES, ids=[s[0] for s in SHAPES])
def test_failing_status_gives_none_after_such_a_comparison(lib, success, name, libfn, args, expected):
    program(lib, libfn, status=7)
    s = success(CallsBack(0))
    result = getattr(c_sdk, name)(*args)
    assert result == FAILED.get(name, (7, None))
    assert s.compared == [7]


@pytest.mark.parametrize("name,libfn,args,expected", SHAPES, ids=[s[0] for s in SHAPES])
def test_comparison_error_propagates(lib, success, name, libfn, args, expected):
    program(lib, libfn)
    success(CallsBack(0, raises=ZeroDivisionError("from __eq__")))
    with pytest.raises(ZeroDivisionError, match="from __eq__"):
        getattr(c_sdk, name)(*args)


RESPONDING = [s for s in SHAPES if s[0] != "py_vyi_get_serv_addr"]


@pytest.mark.parametrize("name,libfn,args,expected", RESPONDING, ids=[s[0] for s in RESPONDING])
def test_unreadable_response_is_an_error_only_on_success(lib, success, name, libfn, args, expected):
    # A broken response read early must not raise unless the test says success.
    lib.set_response_raw(libfn, True, 16)  # NULL pointer with a positive length
    success(CallsBack(1))
    assert getattr(c_sdk, name)(*args) == (0, None)
    success(CallsBack(0))
    with pytest.raises(RuntimeError, match=f"{libfn} reported success with an unreadable response"):
        getattr(c_sdk, name)(*args)


class Int(int):
    pass


@pytest.mark.parametrize("value,ok", [(0, True), (Int(0), True), (Int(3), False), (2 ** 70, False),
                                      (0.0, True), (False, True)])
def test_other_success_values_compare_as_python_does(lib, success, value, ok):
    program(lib, "vyi_get_orders_pb")
    success(value)
    assert c_sdk.py_vyi_get_orders(b"q") == ((0, RESPONSE) if ok else (0, None))


def test_rebinding_between_ints_takes_effect(lib, success):
    program(lib, "vyi_get_orders_pb", status=5)
    assert c_sdk.py_vyi_get_orders(b"q") == (5, None)
    success(5)
    assert c_sdk.py_vyi_get_orders(b"q") == (5, RESPONSE)
    success(int("5"))  # another object of the same value
    assert c_sdk.py_vyi_get_orders(b"q") == (5, RESPONSE)
    success(0)
    assert c_sdk.py_vyi_get_orders(b"q") == (5, None)


@pytest.mark.parametrize("value", [0, 7, 256, -5, 257, -6, 100000, 2 ** 40])
def test_status_objects_are_those_the_interpreter_makes(lib, success, value):
    """On success and on failure, the status is an exact int of the
    library's value, the interpreter's one object for a value it keeps one
    of and a new one otherwise, the same as for a failing status."""
    success(value)
    for status in (value, value + 1):
        program(lib, "vyi_get_orders_pb", status=status if -2 ** 31 <= status < 2 ** 31 else 0)
        first, second = c_sdk.py_vyi_get_orders(b"q"), c_sdk.py_vyi_get_orders(b"q")
        expected = status if -2 ** 31 <= status < 2 ** 31 else 0
        assert type(first[0]) is int and first[0] == expected
        assert first[1] == (RESPONSE if expected == value else None)
        assert (first[0] is second[0]) == (-5 <= expected <= 256)
