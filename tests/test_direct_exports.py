"""The direct exports: SDK functions published under their own names as small
callables, one factory per C signature."""
import ctypes
import traceback

import pytest

from conftest import IS_FREE_THREADED, c_sdk, export_arity, needs_debug_build, raising, refcount_growth

T, V = "'const char *'", "'void'"
# (name, factory, docstring), in module order; written out here, not taken from the C++.
EXPORTS = [
    ("vyi_add_bus_topic", "to_py_void__const_char_p", f"wrap(topic: {T}) -> {V}"),
    ("vyi_get_c_version", "to_py_const_char_p", f"wrap() -> {T}"),
    ("vyi_get_encrypted_token", "to_py_const_char_p", f"wrap() -> {T}"),
    ("vyi_get_ext_errormsg", "to_py_const_char_p", f"wrap() -> {T}"),
    ("vyi_get_orgcode", "to_py_const_char_p", f"wrap() -> {T}"),
    ("vyi_init", "to_py_int", "wrap() -> 'int'"),
    ("vyi_now", "to_py_long_long", "wrap() -> 'long long'"),
    ("vyi_now_plus", "to_py_double", "wrap() -> float"),
    ("vyi_poll", "to_py_int", "wrap() -> 'int'"),
    ("vyi_send_msg_to_bus", "to_py_int__const_char_p__const_char_p", f"wrap(topic: {T}, msg: {T}) -> 'int'"),
    ("vyi_set_bus_info", "to_py_void__const_char_p__const_char_p__const_char_p",
     f"wrap(server_addr: {T}, user_name: {T}, password: {T}) -> {V}"),
    ("vyi_set_bus_secure", "to_py_void__int__const_char_p__const_char_p__const_char_p__bool",
     f"wrap(in_mode: 'int', tlsca: {T}, tlscert: {T}, tlskey: {T}, skip_verify: 'bool') -> {V}"),
    ("vyi_set_mode", "to_py_void__int", f"wrap(mode: 'int') -> {V}"),
    ("vyi_strerror", "to_py_const_char_p__int", f"wrap(errorno: 'int') -> {T}"),
]
NAMES = [e[0] for e in EXPORTS]
FACTORY = {e[0]: e[1] for e in EXPORTS}
ARGS = {"vyi_add_bus_topic": (b"x",), "vyi_send_msg_to_bus": (b"x", b"x"), "vyi_set_bus_info": (b"x",) * 3,
        "vyi_set_bus_secure": (1, b"x", b"x", b"x", True), "vyi_set_mode": (1,), "vyi_strerror": (1,)}
ARGS.update({n: () for n in NAMES if n not in ARGS})


@pytest.mark.parametrize("name, factory, doc", EXPORTS)
def test_attributes(name, factory, doc):
    f = getattr(c_sdk, name)
    assert (f.__name__, f.__module__, f.__qualname__, f.__doc__) == \
        ("wrap", "cfunc.to_py", factory + ".<locals>.wrap", doc)
    assert repr(f).startswith(f"<function {factory}.<locals>.wrap at ")
    Holder = type("Holder", (), {"g": f})
    assert Holder.g is f and Holder().g is f  # no binding as a method


def test_namespace():
    names = list(vars(c_sdk))
    assert names[names.index("__test__") + 1:] == NAMES
    exports = [getattr(c_sdk, n) for n in NAMES]
    assert len(set(map(id, exports))) == 14 and len(set(map(type, exports))) == 1
    with pytest.raises(TypeError):
        type(c_sdk.vyi_init)()  # only the factories make them


A, N, O = "wrap() takes exactly 2 positional arguments", "wrap() takes no arguments", "wrap() takes exactly one argument"
NOKW, INT, STR = "wrap() takes no keyword arguments", "an integer is required", "expected bytes, str found"
REFUSED = [  # (export, positional, keywords, exception, message); never reaches the library
    ("vyi_init", (1,), {}, TypeError, f"{N} (1 given)"),
    ("vyi_now_plus", (1, 2), {}, TypeError, f"{N} (2 given)"),
    ("vyi_get_orgcode", (), {"x": 1}, TypeError, NOKW),
    ("vyi_set_mode", (), {}, TypeError, f"{O} (0 given)"),
    ("vyi_strerror", (1, 2), {}, TypeError, f"{O} (2 given)"),
    ("vyi_add_bus_topic", (b"t",), {"x": 1}, TypeError, NOKW),
    ("vyi_add_bus_topic", (b"t",), {"topic": b"t"}, TypeError, NOKW),
    ("vyi_strerror", (), {"errorno": 1}, TypeError, NOKW),  # keywords are refused before the count
    ("vyi_init", (1,), {"x": 1}, TypeError, NOKW),
    ("vyi_send_msg_to_bus", (), {}, TypeError, f"{A} (0 given)"),
    ("vyi_send_msg_to_bus", (b"t", b"m", b"x"), {}, TypeError, f"{A} (3 given)"),
    ("vyi_send_msg_to_bus", (), {"msg": b"m"}, TypeError, f"{A} (0 given)"),
    ("vyi_send_msg_to_bus", (b"t",), {"x": 1}, TypeError, f"{A} (1 given)"),  # missing before surplus
    ("vyi_send_msg_to_bus", (b"t", b"m"), {"topic": b"x"}, TypeError,
     "wrap() got multiple values for keyword argument 'topic'"),
    ("vyi_send_msg_to_bus", (), {"topic": b"t", "msg": b"m", "Msg": 1}, TypeError,
     "wrap() got an unexpected keyword argument 'Msg'"),
    ("vyi_set_bus_info", (), {"server_addr": b"s", "password": b"p"}, TypeError,
     "wrap() takes exactly 3 positional arguments (1 given)"),
    ("vyi_set_bus_secure", (1, b"", b"", b"", 1, 2), {}, TypeError,
     "wrap() takes exactly 5 positional arguments (6 given)"),
    ("vyi_set_bus_secure", (1, b"", b"", b"", 1), {"in_mode": 2}, TypeError,
     "wrap() got multiple values for keyword argument 'in_mode'"),
    ("vyi_set_mode", ("3",), {}, TypeError, INT),
    ("vyi_strerror", (None,), {}, TypeError, INT),
    ("vyi_set_mode", (2**31,), {}, OverflowError, "value too large to convert to int"),
    ("vyi_strerror", (-2**31 - 1,), {}, OverflowError, "value too large to convert to int"),
    ("vyi_add_bus_topic", ("t",), {}, TypeError, STR),
    ("vyi_send_msg_to_bus", (b"t", None), {}, TypeError, "expected bytes, NoneType found"),
    ("vyi_set_bus_info", (b"", b"", memoryview(b"")), {}, TypeError, "expected bytes, memoryview found"),
    ("vyi_set_bus_secure", ("1", "a", b"", b"", 1), {}, TypeError, INT),  # the first failure wins
    ("vyi_set_bus_secure", (1, b"", "b", 2, 1), {}, TypeError, STR),
    ("vyi_set_bus_secure", (1, b"", b"", b"", type("Bad", (), {"__bool__": lambda s: 1 / 0})()), {},
     ZeroDivisionError, "division by zero"),
]


@pytest.mark.parametrize("name, args, kwargs, exc, message", REFUSED)
def test_refused(lib, name, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        getattr(c_sdk, name)(*args, **kwargs)
    assert str(info.value) == message and lib.journal() == []
    entry = traceback.extract_tb(info.tb)[1]  # the one after this test's own frame
    assert (entry.filename, entry.name) == ("cfunc.to_py", f"cfunc.to_py.{FACTORY[name]}.wrap")


SEVERAL = ["vyi_send_msg_to_bus", "vyi_set_bus_info", "vyi_set_bus_secure"]


def _call_unpacked(fn, args, kwargs):
    return fn(*args, **kwargs)


def _call_object_call(fn, args, kwargs):
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(fn, tuple(args), kwargs)


def _call_vectorcall(fn, args, kwargs):
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype, vectorcall.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_void_p,
                                                                 ctypes.c_size_t, ctypes.py_object]
    values = list(args) + list(kwargs.values())
    vector = (ctypes.py_object * len(values))(*values)
    return vectorcall(fn, vector, len(args), tuple(kwargs))


PATHS = [pytest.param(_call_unpacked, id="f(**kw)"), pytest.param(_call_object_call, id="PyObject_Call"),
         pytest.param(_call_vectorcall, id="PyObject_Vectorcall", marks=pytest.mark.skipif(
             not hasattr(ctypes.pythonapi, "PyObject_Vectorcall"),
             reason="this interpreter has PyObject_Vectorcall only as an inline function"))]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("name", SEVERAL)
@pytest.mark.parametrize("given", [0, 1, "all"])
def test_non_str_keyword(lib, name, path, given):
    """Refused with the export's own message by every call path, whatever
    else the call gets wrong."""
    fn = getattr(c_sdk, name)
    arity = export_arity(fn)
    args = [b"x"] * (arity if given == "all" else given)
    with pytest.raises(TypeError) as info:
        path(fn, args, {7: b"v"})
    assert str(info.value) == "wrap() keywords must be strings"
    assert lib.journal() == []


ACCEPTED = [  # (export, positional, keywords, arguments the library got)
    ("vyi_send_msg_to_bus", (), {"msg": b"m", "topic": b"t"}, [b"t", b"m"]),
    ("vyi_set_bus_info", (b"s",), {"password": b"p", "user_name": b"u"}, [b"s", b"u", b"p"]),
    ("vyi_set_bus_secure", (3, b"a"), {"skip_verify": 1, "tlskey": b"k", "tlscert": b"c"}, [3, b"a", b"c", b"k", True]),
    ("vyi_init", (), {}, []),
    ("vyi_set_mode", (True,), {}, [1]),
    ("vyi_set_mode", (2.9,), {}, [2]),
    ("vyi_strerror", (-2**31,), {}, [-2**31]),
    ("vyi_set_bus_secure", (0, b"", b"", b"", None), {}, [0, b"", b"", b"", False]),
    ("vyi_set_bus_secure", (0, b"", b"", b"", []), {}, [0, b"", b"", b"", False]),
    ("vyi_set_bus_secure", (0, b"", b"", b"", [1]), {}, [0, b"", b"", b"", True]),
    ("vyi_add_bus_topic", (bytearray(),), {}, [b""]),
    ("vyi_add_bus_topic", (b"ab\0cd",), {}, [b"ab"]),
    ("vyi_send_msg_to_bus", (bytearray(b"t"), type("B", (bytes,), {})(b"m")), {}, [b"t", b"m"]),
]


@pytest.mark.parametrize("name, args, kwargs, want", ACCEPTED)
def test_accepted(lib, name, args, kwargs, want):
    getattr(c_sdk, name)(*args, **kwargs)
    assert lib.journal() == [(name, want)]


RESULTS = [  # (export, program, result)
    *[(n, lambda lib, n=n: lib.set_text(n, b"t\xff"), b"t\xff") for n in NAMES if FACTORY[n].startswith("to_py_const_char_p")],
    ("vyi_get_orgcode", lambda lib: lib.set_text("vyi_get_orgcode", None), b""),
    ("vyi_strerror", lambda lib: lib.set_text("vyi_strerror", None), b""),
    *[(n, lambda lib, n=n, v=v: lib.set_status(n, v), v) for n in ("vyi_init", "vyi_poll", "vyi_send_msg_to_bus")
      for v in (7, -1, -2**31)],
    *[("vyi_now", lambda lib, v=v: lib.set_longlong("vyi_now", v), v) for v in (-1, 2**63 - 1)],
    *[("vyi_now_plus", lambda lib, v=v: lib.set_double("vyi_now_plus", v), v) for v in (-1.0, 0.25)],
    *[(n, lambda lib: None, None) for n in NAMES if FACTORY[n].startswith("to_py_void")],
]


@pytest.mark.parametrize("name, program, want", RESULTS)
def test_results(lib, name, program, want):
    program(lib)
    got = getattr(c_sdk, name)(*ARGS[name])
    assert type(got) is type(want) and got == want and [c.fn for c in lib.journal()] == [name]


def test_bytearray_locked_during_call(lib, fresh_globals):
    topic, seen = bytearray(b"topic"), []
    c_sdk.py_vyi_set_data_callback(lambda *event: seen.append(raising(topic.extend, b"!")()))
    lib.push_event("tick", b"")
    lib.deliver_inline("vyi_add_bus_topic")
    c_sdk.vyi_add_bus_topic(topic)  # the resize inside the call raised BufferError
    topic.extend(b"?")  # released after the call
    assert seen == [None] and topic == b"topic?" and lib.calls("vyi_add_bus_topic")[0].args == [b"topic"]


@pytest.fixture
def pending_error(lib):
    """The next call of `name` leaves MemoryError pending: the event callback is
    PyErr_NoMemory itself (it ignores its arguments), run with the lock held.
    A free-threaded build detaches the thread inside the library, so there a
    library may not call the interpreter's API on its own."""
    if IS_FREE_THREADED:
        pytest.skip("the thread is detached inside the library on a free-threaded build")
    setter = lib.lib.vyi_set_event_callback_pb
    setter.argtypes, setter.restype = [ctypes.c_void_p], None
    setter(ctypes.cast(ctypes.pythonapi.PyErr_NoMemory, ctypes.c_void_p).value)
    return lambda name: (lib.push_event("tick", b""), lib.deliver_inline(name))


PENDING = [  # (export, program(lib, error value?)); no program: always raised
    ("vyi_add_bus_topic", None), ("vyi_set_bus_secure", None),
    ("vyi_init", lambda lib, bad: lib.set_status("vyi_init", -1 if bad else 0)),
    ("vyi_send_msg_to_bus", lambda lib, bad: lib.set_status("vyi_send_msg_to_bus", -1 if bad else 5)),
    ("vyi_now", lambda lib, bad: lib.set_longlong("vyi_now", -1 if bad else 9)),
    ("vyi_now_plus", lambda lib, bad: lib.set_double("vyi_now_plus", -1.0 if bad else -2.0)),
    ("vyi_get_orgcode", lambda lib, bad: lib.set_text("vyi_get_orgcode", None if bad else b"org")),
]


@pytest.mark.parametrize("name, program", PENDING)
def test_pending_exception(lib, pending_error, name, program):
    for bad, exc in [(True, MemoryError)] + ([(False, SystemError)] if program else []):
        program and program(lib, bad)
        pending_error(name)
        # Other results are refused as the interpreter refuses a result with an
        # exception set, on every call path (f(*args) included).
        with pytest.raises(exc) as info:
            getattr(c_sdk, name)(*ARGS[name])
        assert exc is MemoryError or isinstance(info.value.__cause__, MemoryError)
        assert traceback.extract_tb(info.tb)[1].filename == "cfunc.to_py"


def leak_actions(pending_error):
    acts = {f"{n} ok": lambda f=getattr(c_sdk, n), a=ARGS[n]: f(*a) for n in NAMES}
    acts.update({f"{n} str": raising(getattr(c_sdk, n), *["s" if a == b"x" else a for a in ARGS[n]])
                 for n in NAMES if b"x" in ARGS[n]})
    acts.update({f"refused {i}": raising(getattr(c_sdk, r[0]), *r[1], **r[2]) for i, r in enumerate(REFUSED)})
    acts.update({f"accepted {i}": lambda r=r: getattr(c_sdk, r[0])(*r[1], **r[2]) for i, r in enumerate(ACCEPTED)})
    acts.update({f"pending {s}": lambda s=s: (pending_error("vyi_poll"), raising(c_sdk.vyi_poll, *())())
                 for s in (-1, 0)})
    return acts


@needs_debug_build
@pytest.mark.parametrize("case", list(leak_actions(None)))
def test_no_leak(lib, pending_error, case):
    lib.set_journaling(False)
    lib.set_text("vyi_get_orgcode", None)
    lib.set_status("vyi_poll", -1 if case == "pending -1" else 0)
    assert refcount_growth(leak_actions(pending_error)[case], loops=100) < 10
