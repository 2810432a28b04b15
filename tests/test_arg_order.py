"""Argument errors of the functions without parameters or with one: the same
messages, in the same order, as the interpreter's own built-ins of those
conventions on the running version (a keyword is refused even when the count
is wrong too)."""
import math
import os

import pytest

from conftest import c_sdk, export_arity, type_error_message
from manifest import DIRECT_EXPORTS, REGISTRATION

# Built-ins of the two conventions, from a module other than builtins (whose
# name some versions put in the message), the reference for the
# interpreter's order and words.
REFERENCE = {0: os.getpid, 1: math.isnan}

# (case, positional arguments, keyword arguments); None stands for the
# function's own parameter name.
CASES = [
    ("keyword alone", (), {"x": 1}),
    ("own name as keyword", (), {None: 1}),
    ("keyword with one argument", (1,), {"x": 1}),
    ("keyword with two arguments", (1, 2), {"x": 1}),
    ("no argument", (), {}),
    ("one argument", (1,), {}),
    ("two arguments", (1, 2), {}),
]

SMALL = [(name, len(params), params) for name, _, params in REGISTRATION if len(params) <= 1]
SMALL_EXPORTS = [(n, export_arity(getattr(c_sdk, n))) for n in DIRECT_EXPORTS
                 if export_arity(getattr(c_sdk, n)) <= 1]


def _kwargs(kwargs, params):
    return {(params[0] if params else "x") if k is None else k: v for k, v in kwargs.items()}


def _expected(arity, args, kwargs, name, module):
    ref = REFERENCE[arity]
    msg = type_error_message(ref, args, kwargs)
    if msg is None:
        return None
    qualified = f"{ref.__module__}.{ref.__name__}()"
    if qualified in msg:
        return msg.replace(qualified, f"{module}.{name}()" if module else f"{name}()", 1)
    return msg.replace(f"{ref.__name__}()", f"{name}()", 1)


@pytest.mark.parametrize("case, args, kwargs", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("name, arity, params", SMALL, ids=[s[0] for s in SMALL])
def test_module_functions_refuse_in_the_interpreters_order(lib, name, arity, params, case, args, kwargs):
    kwargs = _kwargs(kwargs, params)
    expected = _expected(arity, args, kwargs, name, "c_sdk")
    if expected is None:
        return  # a valid call, not an argument error
    assert type_error_message(getattr(c_sdk, name), args, kwargs) == expected
    assert lib.journal() == []


@pytest.mark.parametrize("case, args, kwargs", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("name, arity", SMALL_EXPORTS, ids=[s[0] for s in SMALL_EXPORTS])
def test_direct_exports_refuse_in_the_interpreters_order(lib, name, arity, case, args, kwargs):
    params = ("p",) if arity else ()
    kwargs = _kwargs(kwargs, params)
    expected = _expected(arity, args, kwargs, "wrap", None)  # the exports' own words
    if expected is None:
        return
    assert type_error_message(getattr(c_sdk, name), args, kwargs) == expected
    assert lib.journal() == []
