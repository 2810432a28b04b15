"""Status predicates, the failure log line and the SDK's error texts."""
import logging

import pytest

from conftest import c_sdk


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger=c_sdk.vysdklogger.name)
    return caplog


def lines(log):
    return [(r.levelname, r.getMessage()) for r in log.records]


def test_c_status_ok(lib, log):
    assert c_sdk.c_status_ok(0) is True
    assert c_sdk.c_status_ok(3) is False
    assert c_sdk.c_status_ok(0.0) is True  # the comparison's own result, no conversion
    assert c_sdk.c_status_ok("0") is False
    assert lines(log) == [] and lib.journal() == []


@pytest.mark.parametrize("args, kwargs, expected", [
    ((7,), {}, "invoke c fun error code=7, error info=stand-in error 7"),
    ((7, ""), {}, "invoke c fun error code=7, error info=stand-in error 7"),
    ((7, None), {}, "invoke c fun error code=7, error info=stand-in error 7"),
    ((7, 0), {}, "invoke c fun error code=7, error info=stand-in error 7"),
    ((7, b""), {}, "invoke c fun error code=7, error info=stand-in error 7"),
    ((7, "py_vyi_get_orders"), {}, "invoke c fun=py_vyi_get_orders error code=7, error info=stand-in error 7"),
    ((7, b"fn"), {}, "invoke c fun=b'fn' error code=7, error info=stand-in error 7"),
    ((), {"status": -2, "cfunname": "f"}, "invoke c fun=f error code=-2, error info=stand-in error -2"),
    ((), {"cfunname": "f", "status": -2}, "invoke c fun=f error code=-2, error info=stand-in error -2"),
])
def test_c_status_fail_logs_one_line(lib, log, args, kwargs, expected):
    assert c_sdk.c_status_fail(*args, **kwargs) is True
    assert lines(log) == [("DEBUG", expected)]
    assert [c.fn for c in lib.journal()] == ["vyi_strerror"]


def test_c_status_fail_on_success_logs_nothing(lib, log):
    assert c_sdk.c_status_fail(0, "fn") is False
    assert c_sdk.c_status_fail(0) is False
    assert lines(log) == [] and lib.journal() == []


def test_c_status_fail_uses_the_sdk_text_in_utf8(lib, log):
    lib.set_text("vyi_strerror", "资金不足".encode())
    c_sdk.c_status_fail(9, "下单")
    assert lines(log) == [("DEBUG", "invoke c fun=下单 error code=9, error info=资金不足")]
    lib.set_text("vyi_strerror", b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        c_sdk.c_status_fail(9)
    lib.set_text("vyi_strerror", None)  # a NULL text reads as empty
    c_sdk.c_status_fail(9)
    assert lines(log)[-1] == ("DEBUG", "invoke c fun error code=9, error info=")


@pytest.mark.parametrize("status, error, message", [
    ("bad", TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (2**70, OverflowError, "too large to convert to C long"),
])
def test_c_status_fail_with_an_unconvertible_status(lib, log, status, error, message):
    with pytest.raises(error, match=message):
        c_sdk.c_status_fail(status, "fn")
    assert lines(log) == [] and lib.journal() == []


def test_c_status_fail_arity():
    with pytest.raises(TypeError):
        c_sdk.c_status_fail(1, "a", "b")
    with pytest.raises(TypeError):
        c_sdk.c_status_fail()
    with pytest.raises(TypeError):
        c_sdk.c_status_ok(status=0)


def test_globals_are_looked_up_at_each_call(lib, log, fresh_globals):
    seen = []

    class Logger:
        def debug(self, message):
            seen.append(message)

    c_sdk.vysdklogger = Logger()
    c_sdk.py_vyi_strerror = lambda code: b"custom %d" % code
    c_sdk.c_status_fail(4)
    assert seen == ["invoke c fun error code=4, error info=custom 4"] and lib.journal() == []
    c_sdk.CSDK_OPERATE_SUCCESS = 4
    assert c_sdk.c_status_fail(4) is False and c_sdk.c_status_ok(4) is True
    for name in ("vysdklogger", "py_vyi_strerror", "CSDK_OPERATE_SUCCESS"):
        saved = vars(c_sdk).pop(name)
        with pytest.raises(NameError, match=f"name '{name}' is not defined"):
            c_sdk.c_status_fail(5)
        setattr(c_sdk, name, saved)


def test_error_texts(lib):
    assert c_sdk.py_vyi_strerror(12) == b"stand-in error 12"
    assert c_sdk.py_vyi_strerror(True) == b"stand-in error 1"
    lib.set_text("vyi_strerror", b"")
    assert c_sdk.py_vyi_strerror(1) == b""
    lib.set_text("vyi_strerror", None)
    assert c_sdk.py_vyi_strerror(1) == b""
    lib.set_text("vyi_get_ext_errormsg", "扩展".encode())
    assert c_sdk.py_vyi_get_ext_errormsg() == "扩展".encode()
    lib.set_text("vyi_get_ext_errormsg", None)
    assert c_sdk.py_vyi_get_ext_errormsg() == b""
    assert [c.args for c in lib.calls("vyi_strerror")] == [[12], [1], [1], [1]]
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_vyi_strerror("1")
    with pytest.raises(TypeError):
        c_sdk.py_vyi_get_ext_errormsg(1)
