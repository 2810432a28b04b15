"""Importing the module: globals and their order, the registered functions,
the guards against re-initialisation, and a failed import that can be retried."""
import sys
import types

import pytest

from conftest import PKG, c_sdk, run_python
from manifest import DIRECT_EXPORTS, REGISTRATION

RECORD_CLASSES = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
GLOBALS_IN_ORDER = (["functools", "platform", "CSDK_OPERATE_SUCCESS", "vysdklogger", "IS_PY2", "IS_PY3"]
                    + RECORD_CLASSES + [name for name, _, _ in REGISTRATION] + ["__test__"]
                    + DIRECT_EXPORTS)
DOCSTRINGS = {
    "c_status_ok": "\n    c api 调用返回值status是否ok\n    ",
    "c_status_fail": "\n    c api 调用返回值status是否fail\n    ",
}


def test_globals_are_bound_in_order():
    ours = [k for k in vars(c_sdk) if not (k.startswith("__") and k.endswith("__")) or k == "__test__"]
    assert ours == GLOBALS_IN_ORDER


def test_plain_values():
    import functools, platform
    from vy.constant import CSDK_OPERATE_SUCCESS
    from vy.utils import vysdklogger
    assert c_sdk.functools is functools and c_sdk.platform is platform
    assert c_sdk.CSDK_OPERATE_SUCCESS is CSDK_OPERATE_SUCCESS
    assert c_sdk.vysdklogger is vysdklogger
    assert c_sdk.IS_PY2 is False and c_sdk.IS_PY3 is True
    assert c_sdk.__test__ == {} and type(c_sdk.__test__) is dict
    assert c_sdk.__doc__ is None
    assert sys.modules["c_sdk"] is c_sdk
    assert len(REGISTRATION) == 185 and sum(d for _, d, _ in REGISTRATION) == 59


@pytest.mark.parametrize("name, decorated, params", REGISTRATION, ids=[r[0] for r in REGISTRATION])
def test_registered_function(name, decorated, params):
    fn = getattr(c_sdk, name)
    if decorated:
        assert type(fn) is type(c_sdk.adapt_to_python3(len))
        assert fn.__name__ == "wrapper"
        assert fn.__qualname__ == "adapt_to_python3.<locals>.wrapper"
        assert fn.__doc__ is None and not hasattr(fn, "__wrapped__")
    else:
        assert isinstance(fn, types.BuiltinFunctionType)
        assert fn.__name__ == name and fn.__module__ == "c_sdk"
        if name == "adapt_to_python3":
            assert fn.__doc__.startswith("\n     ") and fn.__doc__.endswith("\n     ")
            assert fn.__doc__.count("\n") == 2
        else:
            assert fn.__doc__ == DOCSTRINGS.get(name)


@pytest.mark.parametrize("name, decorated, params", REGISTRATION, ids=[r[0] for r in REGISTRATION])
def test_calling_convention(name, decorated, params):
    """Arity and keyword rules hold before any conversion or library call."""
    fn = getattr(c_sdk, name)
    junk = [object()] * (len(params) + 1)
    with pytest.raises(TypeError):
        fn(*junk)  # one too many
    if len(params) == 1:
        with pytest.raises(TypeError):
            fn(**{params[0]: b"x"})
    if len(params) >= 2:
        with pytest.raises(TypeError):
            fn(**{p: object() for p in params}, unexpected=1)


def test_keyword_rules_examples():
    with pytest.raises(TypeError):
        c_sdk.py_vyi_set_timer(interval=1)
    assert c_sdk.py_vyi_subscribe(symbols="A", frequency="tick", unsubscribe_previous=False) == 0
    assert list(vars(c_sdk)).count("py_vyi_stk_active_stock_top10_shszhk_info") == 1


def test_exec_again_on_same_module_is_a_no_op():
    r = run_python("""
        import ctypes, vy.csdk.c_sdk as m
        before = dict(vars(m))
        lib = ctypes.PyDLL(m.__file__)
        lib.PyInit_c_sdk.restype = ctypes.c_void_p
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        assert exec_def(m, lib.PyInit_c_sdk()) == 0
        assert all(vars(m)[k] is v for k, v in before.items()) and len(vars(m)) == len(before)
        print("ok")
    """)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


def test_exec_on_another_module_is_refused():
    r = run_python("""
        import ctypes, types, vy.csdk.c_sdk as m
        lib = ctypes.PyDLL(m.__file__)
        lib.PyInit_c_sdk.restype = ctypes.c_void_p
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        other = types.ModuleType("c_sdk")
        try:
            exec_def(other, lib.PyInit_c_sdk())
        except RuntimeError as e:
            print(e)
        assert "py_vyi_get_orders" not in vars(other)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "Module 'c_sdk' has already been imported. Re-initialisation is not supported."


@pytest.mark.parametrize("module, name", [("constant", "CSDK_OPERATE_SUCCESS"), ("utils", "vysdklogger")])
def test_missing_host_name_fails_the_import_and_a_later_import_succeeds(module, name):
    r = run_python(f"""
        import sys, types, vy, vy.{module} as real
        fake = types.ModuleType("vy.{module}")
        sys.modules["vy.{module}"] = fake
        vy.{module} = fake
        try:
            import vy.csdk.c_sdk
        except ImportError as e:
            print(type(e).__name__, e)
        assert "vy.csdk.c_sdk" not in sys.modules
        sys.modules["vy.{module}"] = real
        vy.{module} = real
        import vy.csdk.c_sdk as m
        assert m.{name} is getattr(real, "{name}")
        assert m.py_vyi_get_orders(b"x") == (0, b"")
        print("retried ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [f"ImportError cannot import name {name}", "retried ok"]


# Each version's own way to run code in a new interpreter; from 3.12 the
# default is an isolated one, with its own GIL.
SUBINTERPRETER_CODE = """
import sys
sys.path[:0] = {paths!r}
try:
    import vy.csdk.c_sdk
    result = "imported"
except ImportError as e:
    result = type(e).__name__ + ": " + str(e)
with open({out!r}, "w") as f:
    f.write(result)
"""


def test_second_interpreter_is_refused(tmp_path):
    out = tmp_path / "sub.txt"
    code = SUBINTERPRETER_CODE.format(paths=[PKG], out=str(out))
    r = run_python(f"""
        import sys
        import vy.csdk.c_sdk as m
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            run = interpreters.exec
        else:
            import _xxsubinterpreters as interpreters
            run = interpreters.run_string
        interp = interpreters.create()
        run(interp, {code!r})
        interpreters.destroy(interp)
        print(m.py_vyi_get_orders(b"x"))
    """)
    assert r.returncode == 0, r.stderr
    assert out.read_text() == ("ImportError: Interpreter change detected - this module can only be "
                               "loaded into one interpreter per process.")
    assert r.stdout.strip() == "(0, b'')"  # the first interpreter keeps the module


def test_module_needs_only_header_functions():
    """The module needs libvy3-c.so by its soname and binds none of its
    functions when loaded (each is looked up by name at its first call); no
    stand-in-only name is among those it looks up, so the real library can
    replace ours."""
    import subprocess
    dynamic = subprocess.run(["readelf", "-d", c_sdk.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert "Shared library: [libvy3-c.so]" in dynamic
    undefined = subprocess.run(["nm", "-D", "--undefined-only", c_sdk.__file__], capture_output=True,
                               text=True, check=True).stdout
    assert not [line for line in undefined.splitlines() if "vys_" in line or "vyi_" in line]
    with open(c_sdk.__file__, "rb") as fh:
        image = fh.read()
    assert b"\0vyi_place_order_pb\0" in image and b"\0stk_get_ration\0" in image
    assert b"vys_" not in image


LACKING_LIBRARY = r"""
#include <stdbool.h>
const char *vyi_get_c_version(void) { return "a partial library"; }
int vyi_poll(void) { return 7; }
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="builds an ELF library with cc")
def test_a_library_lacking_functions_fails_only_their_calls(tmp_path):
    """A library without some of the header's functions: the module imports,
    the functions it has work, and a call of one it lacks raises ImportError
    in the loader's words, every time, without reaching the library."""
    import os
    import shutil
    import subprocess
    from conftest import PKG
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("no C compiler")
    tree = tmp_path / "pkg"
    shutil.copytree(PKG, tree)
    source = tmp_path / "partial.c"
    source.write_text(LACKING_LIBRARY)
    subprocess.run([cc, "-shared", "-fPIC", "-Wl,-soname,libvy3-c.so", "-o",
                    str(tree / "vy" / "csdk" / "libvy3-c.so"), str(source)], check=True)
    r = run_python(f"""
        import sys
        sys.path.insert(0, {str(tree)!r})
        import vy.csdk.c_sdk as m
        print(m.vyi_get_c_version(), m.vyi_poll())
        for call in (lambda: m.py_vyi_get_orders(b"x"), lambda: m.py_vyi_get_orders(b"y"),
                     lambda: m.vyi_now(), lambda: m.py_vyi_set_data_callback(print),
                     lambda: m.py_vyi_current("a", "b", True)):
            try:
                call()
            except ImportError as e:
                print(type(e).__name__, e)
        print(m.vyi_poll())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "b'a partial library' 7",
        "ImportError libvy3-c.so: undefined symbol: vyi_get_orders_pb",
        "ImportError libvy3-c.so: undefined symbol: vyi_get_orders_pb",
        "ImportError libvy3-c.so: undefined symbol: vyi_now",
        "ImportError libvy3-c.so: undefined symbol: vyi_set_event_callback_pb",
        "ImportError libvy3-c.so: undefined symbol: vyi_current_pb",
        "7",
    ]


def test_another_library_dropped_in_beside_the_module_is_used(tmp_path):
    import os
    import shutil
    from conftest import PKG
    alternate = os.path.join(os.path.dirname(PKG), "alt", "libvy3-c.so")
    tree = tmp_path / "pkg"
    shutil.copytree(PKG, tree)
    shutil.copyfile(alternate, tree / "vy" / "csdk" / "libvy3-c.so")
    r = run_python(f"""
        import sys
        sys.path.insert(0, {str(tree)!r})
        import vy.csdk.c_sdk as m
        assert m.__file__.startswith({str(tree)!r})
        print(m.vyi_get_c_version())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "b'stand-in alternate'"
