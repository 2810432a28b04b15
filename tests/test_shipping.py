"""Shipping: the generated stubs against the independent manifest, and, when
CSDK_SHIPPING=1 (scripts/check_shipping.sh), the install components, wheels
built from a clean clone on Debian's python3 and on a pyenv interpreter,
stubtest and the typed examples.

The shipping checks build once per interpreter and reuse the build: the wheel
for the interpreter running pytest leaves its CMake build in the clone, and
the install checks install from it."""
import ast
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import gen_stubs  # noqa: E402
from manifest import COMMANDS, DIRECT_EXPORTS, QUERIES, REGISTRATION  # noqa: E402

SOURCE = os.path.join(ROOT, "src", "vy", "csdk")
RESPONSE_PAIR = "tuple[int, bytes | None]"

shipping = pytest.mark.skipif(not os.environ.get("CSDK_SHIPPING"),
                              reason="builds wheels: run by scripts/check_shipping.sh")

# The record classes, in creation order: (name, fields, writable).
RECORDS = [
    ("QuoteItemLikeDict2", ["bid_p", "bid_v", "ask_p", "ask_v"], False),
    ("TickLikeDict2", ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume",
                       "cum_amount", "cum_position", "last_amount", "last_volume", "trade_type",
                       "receive_local_time"], True),
    ("BarLikeDict2", ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
                      "position", "frequency", "receive_local_time"], True),
    ("ObjectLikeDict2", [], False),
]

# What each install component writes, relative to the prefix; {ext} is the
# interpreter's extension suffix.
MODULE_FILES = {"vy/csdk/c_sdk{ext}", "vy/csdk/c_sdk.pyi", "vy/csdk/py.typed"}
STANDIN_FILES = {"vy/csdk/libvy3-c.so", "vy/__init__.py", "vy/constant.py", "vy/utils.py",
                 "vy/csdk/__init__.py", "vystandin/__init__.py"}


# ---- the generated stubs -------------------------------------------------------


@pytest.fixture(scope="module")
def stub():
    return ast.parse(gen_stubs.generate(SOURCE))


def functions_of(tree):
    return [n for n in tree.body if isinstance(n, ast.FunctionDef)]


@pytest.fixture(scope="module")
def stub_text():
    return gen_stubs.generate(SOURCE)


_lines = {}


def text_of(stub_text, node):
    """The source of a one-line node (every annotation of the stub)."""
    lines = _lines.get(stub_text) or _lines.setdefault(stub_text, stub_text.splitlines())
    assert node.lineno == node.end_lineno
    return lines[node.lineno - 1][node.col_offset:node.end_col_offset]


def test_every_registered_function_in_order(stub):
    assert [f.name for f in functions_of(stub)] == [name for name, _, _ in REGISTRATION]


@pytest.mark.parametrize("name, decorated, params", REGISTRATION, ids=[r[0] for r in REGISTRATION])
def test_parameters_and_calling_form(stub, stub_text, name, decorated, params):
    [fn] = [f for f in functions_of(stub) if f.name == name]
    if len(params) == 1:  # one parameter: positional only
        assert [a.arg for a in fn.args.posonlyargs] == list(params) and not fn.args.args
    else:
        assert not fn.args.posonlyargs and [a.arg for a in fn.args.args] == list(params)
    accepted = [text_of(stub_text, a.annotation) for a in fn.args.posonlyargs + fn.args.args]
    # str only where the decorator encodes it; the decorator encodes it everywhere bytes is taken.
    for kind in accepted:
        if "bytes" in kind:
            assert ("str" in kind.split(" | ")) == decorated, kind
        else:
            assert "str" not in kind.split(" | "), kind


@pytest.mark.parametrize("name, lib, decorated", QUERIES + COMMANDS, ids=[r[0] for r in QUERIES + COMMANDS])
def test_serialized_shapes(stub, stub_text, name, lib, decorated):
    [fn] = [f for f in functions_of(stub) if f.name == name]
    [req] = fn.args.posonlyargs
    assert text_of(stub_text, req.annotation) == ("str | bytes | bytearray" if decorated else "bytes | bytearray")
    expected = RESPONSE_PAIR if (name, lib, decorated) in QUERIES else "int"
    assert text_of(stub_text, fn.returns) == expected


@pytest.mark.parametrize("name, params, result", [
    ("c_status_ok", "status: object, /", "bool"),
    ("c_status_fail", "status: SupportsInt, cfunname: object = ...", "bool"),
    ("py_vyi_current", "symbols: str | bytes | bytearray, fields: str | bytes | bytearray, "
                       "include_call_auction: object", RESPONSE_PAIR),
    ("py_vyi_get_serv_addr", "serv_id: str | bytes | bytearray, /", "bytes | None"),
    ("py_vyi_get_accounts", "", RESPONSE_PAIR),
    ("py_vyi_get_child_orders", "account_id: str | bytes | bytearray, algo_id: str | bytes | bytearray",
     RESPONSE_PAIR),
    ("py_vyi_algo_order_batch", "req: str | bytes | bytearray, algo_name: str | bytes | bytearray, "
                                "algo_params: str | bytes | bytearray", RESPONSE_PAIR),
    ("py_vyi_set_version", "sdk_version: str | bytes | bytearray, sdk_lang: str | bytes | bytearray", "None"),
    ("py_vyi_set_timer", "interval: SupportsInt, /", "None"),
    ("py_vyi_set_backtest_intraday", "req: SupportsInt, /", "None"),
    ("py_vyi_get_encrypted_token", "", "bytes"),
    ("py_vyi_strerror", "errorno: SupportsInt, /", "bytes"),
    ("py_vyi_run", "", "int"),
    ("py_vyi_set_data_callback", "pythonf: Callable[[str, bytes], object] | None, /", "None"),
    ("adapt_to_python3", "func: Callable[..., _T], /", "Callable[..., _T]"),
    ("is_linux", "", "bool"),
])
def test_signatures_by_shape(stub_text, name, params, result):
    assert "def %s(%s) -> %s: ..." % (name, params, result) in stub_text.splitlines()


def test_numbers_and_truth_values(stub_text):
    line = next(l for l in stub_text.splitlines() if l.startswith("def py_vyi_smart_reorder("))
    assert "price: SupportsFloat | SupportsIndex, volume: SupportsInt," in line
    line = next(l for l in stub_text.splitlines() if l.startswith("def py_vyi_set_bus_secure("))
    assert line.endswith("skip_verify: object) -> None: ...")


@pytest.mark.parametrize("name", DIRECT_EXPORTS)
def test_direct_exports_are_call_protocols_without_str(stub, stub_text, name):
    [decl] = [n for n in stub.body if isinstance(n, ast.AnnAssign) and n.target.id == name]
    assert text_of(stub_text, decl.annotation) == "_" + name
    [proto] = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "_" + name]
    [call] = proto.body
    assert call.name == "__call__"
    for arg in call.args.posonlyargs + call.args.args:
        if arg.annotation is not None:
            assert "str" not in text_of(stub_text, arg.annotation).split(" | ")


def test_globals(stub_text):
    lines = stub_text.splitlines()
    for decl in ("import functools as functools", "import platform as platform", "CSDK_OPERATE_SUCCESS: int",
                 "vysdklogger: logging.Logger", "IS_PY2: bool", "IS_PY3: bool", "__test__: dict[str, Any]"):
        assert decl in lines


@pytest.mark.parametrize("name, fields, writable", RECORDS, ids=[r[0] for r in RECORDS])
def test_record_classes(stub, name, fields, writable):
    classes = [n.name for n in stub.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")]
    assert classes == [r[0] for r in RECORDS]
    [cls] = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == name]
    getters = [f.name for f in cls.body if isinstance(f, ast.FunctionDef)
               and any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)]
    setters = [f.name for f in cls.body if isinstance(f, ast.FunctionDef)
               and any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in f.decorator_list)]
    assert getters == fields
    assert setters == (fields if writable else [])
    methods = [f.name for f in cls.body if isinstance(f, ast.FunctionDef) and not f.decorator_list]
    assert {"__init__", "__getitem__", "__setitem__", "__getattr__", "__setattr__"} <= set(methods)
    assert ("__contains__" in methods) == (name == "BarLikeDict2")


# A table the generator cannot read stops the build instead of dropping names.
DRIFT = [
    ("sdk_table.def", None, 'ROW(py_new_call, PLAIN, BODY(new_call, "x"))', "no types"),
    ("sdk_table.def", None, "ROW(py_broken, PLAIN", "cannot read"),
    ("sdk_table.def", None, 'ROW(py_vyi_nothing, PLAIN, TYPED(vyi_nothing, "x"))', "is not a typed row"),
    ("sdk_table.def", '"date_rule", "time_rule"', '"date_rule"', "does not match"),
    ("calls.cpp", "BoolArg include_call_auction;", "IntArg include_call_auction;", "converts"),
    ("records.cpp", "kClasses", "kClassList", "class table"),
    ("direct_exports.cpp", "CSDK_EXPORT(vyi_poll),", "CSDK_EXPORT(vyi_poll),\n    CSDK_EXPORT(vyi_missing),",
     "is not a typed row"),
]


@pytest.mark.parametrize("name, old, new, message", DRIFT, ids=[d[2][:30] for d in DRIFT])
def test_generator_refuses_what_it_cannot_read(tmp_path, name, old, new, message):
    src = tmp_path / "csdk"
    shutil.copytree(SOURCE, str(src))
    path = src / name
    text = path.read_text()
    if old is None:
        text += "\n" + new + "\n"
    else:
        assert old in text
        text = text.replace(old, new, 1)
    path.write_text(text)
    with pytest.raises(gen_stubs.TableError, match=message):
        gen_stubs.generate(str(src))


# ---- install, wheels, stubtest, typed examples (CSDK_SHIPPING=1) -----------------------


def run(cmd, **kw):
    """Runs cmd, failing the test with its output when it fails."""
    env = kw.pop("env", None)
    full = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "CSDK_PKG")}
    # Offline: a build that tried to fetch anything fails at once.
    full["PIP_NO_INDEX"] = "1"
    full.update(env or {})
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, env=full, **kw)
    assert r.returncode == 0, "%s failed (%d):\n%s\n%s" % (cmd, r.returncode, r.stdout[-4000:], r.stderr[-4000:])
    return r


def pyenv_python():
    """One pyenv interpreter: CSDK_PYENV_PYTHON, else the newest 3.12, else
    the newest of 3.8 and later."""
    if os.environ.get("CSDK_PYENV_PYTHON"):
        return os.environ["CSDK_PYENV_PYTHON"]
    root = os.path.expanduser("~/.pyenv/versions")
    found = []
    for path in glob.glob(os.path.join(root, "3.*", "bin", "python3")):
        m = re.match(r"3\.(\d+)\.(\d+)$", os.path.basename(os.path.dirname(os.path.dirname(path))))
        if m and int(m.group(1)) >= 8:
            found.append(((int(m.group(1)) == 12, int(m.group(1)), int(m.group(2))), path))
    return max(found)[1] if found else None


INTERPRETERS = {"debian": sys.executable, "pyenv": pyenv_python()}


def interpreter_facts(python):
    code = ("import sys, sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX')); "
            "print('cp%d%d' % sys.version_info[:2]); print(sysconfig.get_platform())")
    ext, tag, plat = run([python, "-c", code]).stdout.split()
    return ext, tag, plat.replace("-", "_").replace(".", "_")


def build_env(python, scratch):
    """Debian's setuptools and wheel, for an interpreter that lacks them, on
    PYTHONPATH for the build only: just those packages, so the interpreter's
    own pip stays in charge."""
    missing = [m for m in ("setuptools", "wheel")
               if subprocess.run([python, "-c", "import " + m], capture_output=True).returncode]
    if not missing:
        return {}
    dist = "/usr/lib/python3/dist-packages"
    links = os.path.join(scratch, "debian-build-path")
    os.makedirs(links, exist_ok=True)
    names = {"setuptools": ["setuptools", "pkg_resources", "_distutils_hack"], "wheel": ["wheel"]}
    for m in missing:
        for entry in os.listdir(dist):
            base = re.split(r"[-.]", entry, 1)[0] if entry.endswith(("-info",)) else entry
            if base in names[m] or entry in names[m]:
                target = os.path.join(links, entry)
                if not os.path.exists(target):
                    os.symlink(os.path.join(dist, entry), target)
    return {"PYTHONPATH": links}


@pytest.fixture(scope="session")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("shipping")


@pytest.fixture(scope="session")
def clone(scratch):
    """A clean clone of the committed tree: nothing untracked reaches a build."""
    path = scratch / "clone"
    run(["git", "clone", "-q", "--no-hardlinks", ROOT, path])
    return path


_wheels = {}


@pytest.fixture(scope="session")
def wheel_for(clone, scratch):
    """wheel_for(which) -> (python, wheel path), built once per interpreter with
    the documented command."""
    def build(which):
        python = INTERPRETERS[which]
        if python is None:
            pytest.skip("no pyenv interpreter of 3.8 or later")
        if which not in _wheels:
            dist = clone / "dist" / which
            run([python, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", dist, "."],
                cwd=clone, env=build_env(python, str(scratch)))
            [whl] = glob.glob(str(dist / "*.whl"))
            _wheels[which] = (python, whl)
        return _wheels[which]
    return build


_venvs = {}


@pytest.fixture(scope="session")
def venv_for(wheel_for, scratch):
    """A fresh venv with only the wheel installed; returns its python."""
    def make(which):
        if which not in _venvs:
            python, whl = wheel_for(which)
            where = scratch / ("venv-" + which)
            run([python, "-m", "venv", where])
            vpy = where / "bin" / "python"
            run([vpy, "-m", "pip", "install", "-q", "--no-index", whl])
            _venvs[which] = vpy
        return _venvs[which]
    return make


@pytest.fixture(scope="session")
def cmake_build(wheel_for, clone):
    """The CMake build the wheel for this interpreter left in the clone."""
    wheel_for("debian")
    for cache in glob.glob(str(clone / "build" / "temp.*" / "cmake" / "CMakeCache.txt")):
        with open(cache) as f:
            if re.search(r"^Python_EXECUTABLE:\w+=%s$" % re.escape(sys.executable), f.read(), re.M):
                return os.path.dirname(cache)
    pytest.fail("the wheel build left no CMake build for %s" % sys.executable)


def install(build, prefix, *components):
    cmd = ["cmake", "--install", build, "--prefix", prefix]
    if not components:
        run(cmd)
    for c in components:
        run(cmd + ["--component", c])
    return sorted(os.path.relpath(os.path.join(d, f), str(prefix)).replace(os.sep, "/")
                  for d, _, files in os.walk(str(prefix)) for f in files)


def expected(files, python=None):
    ext = interpreter_facts(python or sys.executable)[0]
    return sorted(f.format(ext=ext) for f in files)


@pytest.fixture(scope="session")
def full_install(cmake_build, scratch):
    prefix = scratch / "prefix-all"
    return prefix, install(cmake_build, prefix)


@shipping
def test_install_both_components_by_default(full_install):
    _, files = full_install
    # Nothing else: no alternate stand-in, no test build.
    assert files == expected(MODULE_FILES | STANDIN_FILES)


@shipping
def test_install_module_component_writes_only_the_module(cmake_build, scratch):
    assert install(cmake_build, scratch / "prefix-module", "module") == expected(MODULE_FILES)


@shipping
def test_installed_tree_imports_from_anywhere(full_install, clone, scratch):
    prefix, _ = full_install
    env = {"PYTHONPATH": str(prefix)}
    # From outside the tree: a query against the stand-in, a logged failure.
    r = run([sys.executable, clone / "tests" / "smoke.py"], cwd=scratch, env=env)
    assert "smoke checks passed" in r.stdout
    # From the project root too: no source folder shadows the installed tree.
    r = run([sys.executable, "-c", "import vy.csdk.c_sdk as m; print(m.__file__)"], cwd=clone, env=env)
    assert r.stdout.strip().startswith(str(prefix) + os.sep)


@shipping
def test_installed_module_finds_its_library_beside_itself(full_install):
    prefix, files = full_install
    [module] = [f for f in files if f.startswith("vy/csdk/c_sdk") and not f.endswith((".pyi", ".typed"))]
    dynamic = run(["readelf", "-d", prefix / module]).stdout
    assert re.search(r"\((RUNPATH|RPATH)\)\s+Library r(un)?path: \[\$ORIGIN\]", dynamic), dynamic


@shipping
def test_install_into_an_interpreters_platlib(cmake_build, scratch):
    """The host-package line: --prefix is the interpreter's platlib."""
    where = scratch / "venv-platlib"
    run([sys.executable, "-m", "venv", "--without-pip", where])
    vpy = where / "bin" / "python"
    platlib = run([vpy, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip()
    install(cmake_build, platlib)
    r = run([vpy, "-c", "import vy.csdk.c_sdk as m, vystandin; vystandin.StandIn().reset(); "
             "print(m.py_vyi_get_orders(b'r'), m.__file__)"], cwd=scratch)
    assert r.stdout.startswith("(0, b'') " + platlib)


@shipping
@pytest.mark.parametrize("which", ["debian", "pyenv"])
def test_wheel_is_tagged_for_its_interpreter(wheel_for, which):
    python, whl = wheel_for(which)
    ext, tag, plat = interpreter_facts(python)
    assert os.path.basename(whl).endswith("-%s-%s-%s.whl" % (tag, tag, plat))
    with zipfile.ZipFile(whl) as z:
        files = sorted(n for n in z.namelist() if ".dist-info/" not in n)
    assert files == expected(MODULE_FILES | STANDIN_FILES, python)


@shipping
@pytest.mark.parametrize("which", ["debian", "pyenv"])
def test_wheel_in_a_fresh_venv(venv_for, clone, scratch, which):
    vpy = venv_for(which)
    r = run([vpy, clone / "tests" / "smoke.py"], cwd=scratch)
    assert "smoke checks passed" in r.stdout
    r = run([vpy, "-c", "import vy.csdk.c_sdk as m; print(m.__file__)"], cwd=clone)
    assert "site-packages" in r.stdout


@shipping
def test_stubtest_is_clean(full_install, scratch):
    prefix, _ = full_install
    env = {"PYTHONPATH": str(prefix), "MYPYPATH": str(prefix)}
    allow = scratch / "stubtest-allowlist"
    allow.write_text(gen_stubs.allowlist(SOURCE))
    # The entries are generated, so an unused one is not a stale one: it only
    # means the wrapper shows no signature on this interpreter.
    r = run([sys.executable, "-m", "mypy.stubtest", "--allowlist", allow, "--ignore-unused-allowlist",
             "vy.csdk.c_sdk"], cwd=scratch, env=env)
    assert "Success" in r.stdout


@shipping
@pytest.mark.parametrize("target", ["3.8", "3.13"])
def test_stubs_are_valid_for_every_target(full_install, scratch, target):
    prefix, _ = full_install
    cmd = [sys.executable, "-m", "mypy", "--python-version", target, "--strict", "--no-incremental",
           "--cache-dir", scratch / "mypy-cache", "-p", "vy.csdk"]
    run(cmd, cwd=scratch, env={"MYPYPATH": str(prefix)})


def mypy_on(example, venv, scratch):
    """mypy for 3.8 targets, finding the module through the venv's installed
    wheel (its py.typed marker)."""
    cmd = [sys.executable, "-m", "mypy", "--python-executable", venv, "--python-version", "3.8", "--strict",
           "--no-incremental", "--cache-dir", scratch / "mypy-cache", "--no-error-summary", example]
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, cwd=str(scratch))


@shipping
def test_typed_example_passes(venv_for, clone, scratch):
    r = mypy_on(clone / "tests" / "typing" / "ok_example.py", venv_for("debian"), scratch)
    assert r.returncode == 0, r.stdout + r.stderr


@shipping
def test_typed_example_with_wrong_calls_fails_on_each(venv_for, clone, scratch):
    example = clone / "tests" / "typing" / "bad_example.py"
    r = mypy_on(example, venv_for("debian"), scratch)
    assert r.returncode == 1, r.stdout + r.stderr
    marked = {i for i, line in enumerate(example.read_text().splitlines(), 1) if "# E:" in line}
    flagged = {int(m) for m in re.findall(r"bad_example\.py:(\d+): error:", r.stdout)}
    assert marked and flagged == marked, r.stdout
