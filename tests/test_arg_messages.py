"""Argument errors of every module function with two or more parameters are
the interpreter's own: each message is compared with what the running
interpreter's PyArg_ParseTupleAndKeywords says for the same parameters and
the same call (the test-only extension _csdk_argref), and nothing reaches the
library."""
import glob
import importlib.util
import os

import pytest

from conftest import PKG, c_sdk, type_error_message
from manifest import REGISTRATION

TESTEXT = os.environ.get("CSDK_TESTEXT", os.path.join(os.path.dirname(PKG), "testext"))
# Parameters without a default, where fewer than all (the rest are optional).
REQUIRED = {"c_status_fail": 1}
MULTI = [(name, params, REQUIRED.get(name, len(params)))
         for name, _, params in REGISTRATION if len(params) >= 2]


def load_reference():
    found = glob.glob(os.path.join(TESTEXT, "_csdk_argref*.so"))
    if not found:
        pytest.skip(f"the test-only extension is not built in {TESTEXT}")
    spec = importlib.util.spec_from_file_location("_csdk_argref", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def argref():
    return load_reference()


class Key(str):
    """A keyword name that is a str subclass, as a ** mapping may carry."""


def calls(params, required):
    """(case, positional args, keyword args, reference entered by fastcall)."""
    v = b"v"
    n = len(params)
    yield "too many positionals", [v] * (n + 1), {}, False
    yield "too few positionals", [v] * (required - 1), {}, False
    yield "none at all", [], {}, False
    yield "first missing, rest by keyword", [], {p: v for p in params[1:]}, False
    yield "last required missing, rest by keyword", [], {p: v for p in params[:required - 1]}, False
    yield "repeated: position and keyword", [v], {params[0]: v}, False
    yield "repeated, with the rest by keyword", [v], {p: v for p in params}, False
    yield "unexpected keyword with all positionals", [v] * n, {"bogus": v}, False
    yield "unexpected keyword with the required positionals", [v] * required, {"bogus": v}, False
    yield "unexpected keyword instead of the last", [v] * (n - 1), {"bogus": v}, False
    yield "keyword in the wrong case", [v] * (n - 1), {params[-1].upper(): v}, False
    yield "str subclass key, repeated", [v], {Key(params[0]): v}, False
    # The interpreter itself refuses a non-str key on the way into a function
    # entered by vectorcall, before any parsing.
    yield "non-string keyword", [], {1: v}, True
    yield "non-string keyword after positionals", [v] * (n - 1), {1: v}, True


CASES = [pytest.param(name, params, required, args, kwargs, fast, id=f"{name}: {case}")
         for name, params, required in MULTI
         for case, args, kwargs, fast in calls(params, required)]


@pytest.mark.parametrize("name,params,required,args,kwargs,fast", CASES)
def test_message_is_the_interpreters(argref, lib, name, params, required, args, kwargs, fast):
    reference = argref.make(name, params, required, fast)
    expected = type_error_message(reference, args, kwargs)
    assert expected is not None, "every case is an argument error"
    lib.clear_journal()
    assert type_error_message(getattr(c_sdk, name), args, kwargs) == expected
    assert lib.journal() == []


def test_every_multi_parameter_function_is_covered():
    # c_status_fail, the set_* and query bodies with several parameters, the
    # typed calls: taken from the independent manifest, not the C++ table.
    assert len(MULTI) >= 15
    assert {"c_status_fail", "py_vyi_set_backtest_config", "py_vyi_current"} <= {m[0] for m in MULTI}


@pytest.mark.parametrize("name,params,required", MULTI, ids=[m[0] for m in MULTI])
def test_keywords_bind_as_positions(lib, fresh_globals, name, params, required):
    # Keywords in reverse order, names made at run time (not interned) and
    # str subclass names reach the library exactly as the positional call.
    values = [bytes([65 + i]) for i in range(len(params))]
    c_sdk.vysdklogger = type("Quiet", (), {"debug": staticmethod(lambda *a: None)})()
    fn = getattr(c_sdk, name)
    lib.clear_journal()
    try:
        expected = fn(*values)
    except TypeError:
        pytest.skip("not every parameter takes bytes")
    journal = lib.journal()
    for kwargs in ({p: x for p, x in reversed(list(zip(params, values)))},
                   {"".join(list(p)): x for p, x in zip(params, values)},
                   {Key(p): x for p, x in zip(params, values)}):
        lib.clear_journal()
        assert fn(**kwargs) == expected
        assert lib.journal() == journal
