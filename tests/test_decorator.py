"""adapt_to_python3: str arguments become ASCII bytes before the wrapped
callable runs; everything else passes through untouched."""
import inspect

import pytest

from conftest import c_sdk, traceback_names


class Recorder:
    def __init__(self, result="result"):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class UpperStr(str):
    def encode(self, *args):
        return b"sub:" + str.encode(self, *args)


class BadStr(str):
    def encode(self, *args):
        raise LookupError("from encode")


CONVERSIONS = [
    # (positional, keywords, expected positional, expected keywords)
    (("abc",), {}, (b"abc",), {}),
    (("",), {}, (b"",), {}),
    ((b"abc", 1, None, ["s"]), {}, (b"abc", 1, None, ["s"]), {}),
    ((bytearray(b"x"), 1.5, True, ("t",), {"k": "v"}), {}, (bytearray(b"x"), 1.5, True, ("t",), {"k": "v"}), {}),
    ((), {"a": "abc", "b": 3}, (), {"a": b"abc", "b": 3}),
    (("x", b"y"), {"z": "w", "q": None}, (b"x", b"y"), {"z": b"w", "q": None}),
    ((UpperStr("ab"),), {"k": UpperStr("c")}, (b"sub:ab",), {"k": b"sub:c"}),
    (tuple("abcdefghijklmnopqrstuvwxyz"), {}, tuple(c.encode() for c in "abcdefghijklmnopqrstuvwxyz"), {}),
    (tuple(range(20)) + ("s",), {"k": "v"}, tuple(range(20)) + (b"s",), {"k": b"v"}),
]


@pytest.mark.parametrize("args, kwargs, want_args, want_kwargs", CONVERSIONS)
def test_conversions(args, kwargs, want_args, want_kwargs):
    rec = Recorder()
    w = c_sdk.adapt_to_python3(rec)
    caller_kwargs = dict(kwargs)
    assert w(*args, **caller_kwargs) == "result"
    (got_args, got_kwargs), = rec.calls
    assert got_args == want_args and [type(a) for a in got_args] == [type(a) for a in want_args]
    assert got_kwargs == want_kwargs and list(got_kwargs) == list(want_kwargs)
    assert caller_kwargs == kwargs  # the caller's mapping is never modified


def test_result_is_the_identical_object():
    result = (0, b"payload")
    assert c_sdk.adapt_to_python3(Recorder(result))("a") is result


@pytest.mark.parametrize("args, kwargs", [
    (("中文账户",), {}),
    (("ok", "é"), {}),
    ((), {"account": "账户"}),
])
def test_non_ascii_is_refused_before_the_call(args, kwargs):
    rec = Recorder()
    with pytest.raises(UnicodeEncodeError):
        c_sdk.adapt_to_python3(rec)(*args, **kwargs)
    assert rec.calls == []


def test_positional_conversions_come_before_keywords():
    rec = Recorder()
    with pytest.raises(LookupError, match="from encode"):
        c_sdk.adapt_to_python3(rec)(BadStr("x"), k="é")
    with pytest.raises(UnicodeEncodeError):
        c_sdk.adapt_to_python3(rec)("é", k=BadStr("x"))
    assert rec.calls == []


def test_non_ascii_refused_even_when_the_call_would_fail_its_arity_check(lib):
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_vyi_get_orders("账户", "too", "many")
    assert lib.journal() == []


def test_wrapped_function_errors_propagate_unchanged():
    def boom(*a):
        raise KeyError("inner")
    with pytest.raises(KeyError, match="inner"):
        c_sdk.adapt_to_python3(boom)("x")
    with pytest.raises(TypeError):
        c_sdk.adapt_to_python3(42)("x")  # not callable: shows only at the call


def test_module_member_arity_error_comes_after_conversion(lib):
    with pytest.raises(TypeError):
        c_sdk.py_vyi_get_orders("a", "b")
    with pytest.raises(TypeError):
        c_sdk.py_vyi_get_orders(req="a")
    assert lib.journal() == []


def test_is_py2_is_read_at_every_call(fresh_globals):
    rec = Recorder()
    w = c_sdk.adapt_to_python3(rec)
    c_sdk.IS_PY2 = True
    w("abc", k="v")
    c_sdk.IS_PY2 = False
    w("abc", k="v")
    assert rec.calls == [(("abc",), {"k": "v"}), ((b"abc",), {"k": b"v"})]
    c_sdk.IS_PY2 = [0]  # any object: its truth decides
    w("x")
    assert rec.calls[-1] == (("x",), {})
    del c_sdk.IS_PY2
    with pytest.raises(NameError, match="name 'IS_PY2' is not defined"):
        w("x")
    assert len(rec.calls) == 3


def test_one_argument_built_ins_follow_is_py2_and_the_cell(fresh_globals):
    """A one-argument built-in, the decorated rows' case, is entered
    directly: IS_PY2, the cell and the argument's type are read at every
    call all the same."""
    w = c_sdk.adapt_to_python3(repr)
    cell = w.__closure__[0]
    assert (w("abc"), w(b"abc"), w(7)) == ("b'abc'", "b'abc'", "7")
    c_sdk.IS_PY2 = True
    assert w("abc") == "'abc'"
    c_sdk.IS_PY2 = False
    cell.cell_contents = len
    assert w("abcd") == 4
    c_sdk.IS_PY2 = 0.0  # not the namespace's own bool: its truth, looked up at the call
    assert w("ab") == 2
    with pytest.raises(UnicodeEncodeError):
        w("\u00e9")
    with pytest.raises(TypeError, match="object of type 'int' has no len"):
        w(5)
    cell.cell_contents = c_sdk.py_vyi_get_orders
    with pytest.raises(TypeError):
        w()
    del cell.cell_contents
    with pytest.raises(NameError):
        w(b"x")


STR_REQUESTS = ["SHSE.600000", "", "x" * 70000, "\x00\x7f ok", "caf\u00e9", "\U0001f600"]


@pytest.mark.parametrize("text", STR_REQUESTS, ids=["ascii", "empty", "long", "controls", "latin1", "astral"])
@pytest.mark.parametrize("name, libfn", [("py_vyi_get_orders", "vyi_get_orders_pb"),
                                         ("py_vyi_cancel_all_orders", "vyi_cancel_all_orders_pb")])
def test_decorated_request_from_str_reaches_the_library_as_its_ascii_bytes(lib, name, libfn, text):
    """What reaches the library for a str is its ASCII encoding, byte for
    byte and with its length, the same as for the bytes themselves; a str
    that does not encode is refused before the library is called."""
    decorated = getattr(c_sdk, name)
    decorated(b"warm")  # IS_PY2 known from here on, as in a running strategy
    lib.clear_journal()
    try:
        want = text.encode("ascii")
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            decorated(text)
        assert lib.journal() == []
        return
    assert decorated(text) == decorated(want)
    first, second = lib.calls(libfn)
    assert first.args[:1] == second.args[:1] == [(want, len(want))]


def test_a_str_request_is_not_taken_by_a_call_made_inside_it(lib, sink):
    """Python code run by an event inside a decorated call with a str hands
    that same str to the undecorated function: it is refused as a str."""
    decorated = c_sdk.py_vyi_get_orders
    undecorated = decorated.__closure__[0].cell_contents
    text = "SHSE.600000"
    outcomes = []

    def handler(msg_type, payload):
        for call in (lambda: undecorated(text), lambda: decorated(text)):
            try:
                outcomes.append(call())
            except TypeError as e:
                outcomes.append(str(e))

    decorated(b"warm")
    c_sdk.py_vyi_set_data_callback(handler)
    lib.push_event("tick", b"payload")
    lib.deliver_inline("vyi_get_orders_pb")
    assert decorated(text) == (0, b"")
    assert outcomes == ["expected bytes, str found", (0, b"")]
    assert [c.args[0] for c in lib.calls("vyi_get_orders_pb")][1:] == [(text.encode(), 11)] * 2


def test_built_in_kept_alive_while_it_runs():
    """The cell rebound while the built-in runs drops the last reference to
    it and to the object it is bound to: the call still ends normally.  In a
    subprocess, so that a fault fails the test instead of the run."""
    from conftest import run_python
    r = run_python("""
        import gc
        import vy.csdk.c_sdk as c_sdk
        s = set()
        w = c_sdk.adapt_to_python3(s.add)
        del s
        class Key:
            def __hash__(self):
                w.__closure__[0].cell_contents = len
                gc.collect()
                return 1
        w(0)  # IS_PY2 known from here on, as in a running strategy
        print(w(Key()), w("abc"))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "None 3"


def test_wrapper_attributes():
    w = c_sdk.adapt_to_python3(len)
    assert w.__name__ == "wrapper"
    assert w.__qualname__ == "adapt_to_python3.<locals>.wrapper"
    assert w.__doc__ is None and w.__module__ == "c_sdk"
    assert not hasattr(w, "__wrapped__")
    assert w is not c_sdk.adapt_to_python3(len)  # a new wrapper every call
    with pytest.raises(TypeError):
        c_sdk.adapt_to_python3(func=len)
    with pytest.raises(TypeError):
        c_sdk.adapt_to_python3()


def _python_form():
    """The decorator as Python source, the reference for what a closure shows."""
    def adapt_to_python3(func):
        def wrapper(*args, **kwargs):
            return func(*args, **kwargs)
        return wrapper
    return adapt_to_python3


def test_wrapper_is_a_closure_over_func():
    rec = Recorder()
    w = c_sdk.adapt_to_python3(rec)
    reference = _python_form()(rec)
    assert type(w.__closure__) is tuple and len(w.__closure__) == 1
    cell = w.__closure__[0]
    assert type(cell) is type(reference.__closure__[0]) and cell.cell_contents is rec
    assert w.__closure__ is w.__closure__
    assert str(inspect.signature(w)) == str(inspect.signature(reference)) == "(*args, **kwargs)"
    # Rebinding the cell changes what the wrapper calls, as for a closure.
    other = Recorder()
    cell.cell_contents = other
    w("x")
    assert other.calls == [((b"x",), {})] and rec.calls == []
    # An emptied cell is the interpreter's own NameError for a free variable.
    del cell.cell_contents
    del reference.__closure__[0].cell_contents
    with pytest.raises(NameError) as ours:
        w(b"x")
    with pytest.raises(NameError) as expected:
        reference(b"x")
    assert str(ours.value) == str(expected.value)


@pytest.mark.parametrize("closure_asked", [False, True], ids=["func-held", "closure-made"])
def test_wrapper_keeps_func_and_frees_it_with_itself(closure_asked):
    """The wrapper holds func itself until __closure__ is first asked for:
    calls before and after reach the same func, and func is freed with the
    wrapper, also when the two refer to each other (the collector's case)."""
    import gc
    import weakref
    rec = Recorder()
    w = c_sdk.adapt_to_python3(rec)
    assert w("a") == "result"
    if closure_asked:
        assert w.__closure__[0].cell_contents is rec
        assert w.__closure__ is w.__closure__
    assert w(b"b") == "result" and rec.calls == [((b"a",), {}), ((b"b",), {})]
    gone = weakref.ref(rec)
    del rec, w
    assert gone() is None
    rec = Recorder()
    rec.w = c_sdk.adapt_to_python3(rec)
    if closure_asked:
        rec.w.__closure__
    gone = weakref.ref(rec)
    del rec
    gc.collect()
    assert gone() is None


def test_wrapper_binds_as_a_method_like_a_function():
    rec = Recorder()

    class Host:
        m = c_sdk.adapt_to_python3(rec)

    h = Host()
    h.m("x")
    Host.m("y")
    assert rec.calls == [((h, b"x"), {}), ((b"y",), {})]


def test_exception_from_the_wrapper_names_it_in_the_traceback():
    with pytest.raises(UnicodeEncodeError) as info:
        c_sdk.adapt_to_python3(len)("é")
    assert traceback_names(info)[-1] == "c_sdk.adapt_to_python3.wrapper"
