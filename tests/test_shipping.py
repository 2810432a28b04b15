"""Shipping: the generated stubs against the independent manifest, and, when
CSDK_SHIPPING=1 (scripts/check_shipping.sh), the three distributions:
scripts/wheels.sh run once for every interpreter found, each wheel's files
and tags against its binaries, the three wheels in a fresh venv of every
interpreter, the wheels installed over a host package, the install
components, the source distribution rebuilt offline, stubtest, and the typed
examples and the demo under mypy and pyright.

The wheels are built once, from the tree as it is (CI's is a fresh clone): a
tree's builds share the interpreter-independent objects through the compiler
cache.  The install checks install from the CMake build that Debian's
python3 wheel left."""
import ast
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tokenize
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "distributions"))

import gen_stubs  # noqa: E402
import manylinux  # noqa: E402
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

# What each record class refuses, which the stub declares as None.
REFUSED = ["__iter__", "__len__", "__contains__", "__delitem__", "keys"]


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
                 "vysdklogger: logging.Logger", "IS_PY2: bool", "IS_PY3: bool", "__test__: dict[str, Any]",
                 "f: Callable[[str, bytes], object] | None"):
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
    refused = [n.target.id for n in cls.body if isinstance(n, ast.AnnAssign) and n.target.id != "data"]
    assert refused == [r for r in REFUSED if r not in methods]
    assert all(n.annotation.value is None for n in cls.body if isinstance(n, ast.AnnAssign) and n.target.id in refused)


def test_allowlist_names_what_the_stub_adds():
    entries = {line for line in gen_stubs.allowlist(SOURCE).splitlines() if not line.startswith("#")}
    added = {"vy.csdk.c_sdk.%s.%s" % (name, r) for name, _, _ in RECORDS for r in REFUSED
             if not (name == "BarLikeDict2" and r == "__contains__")}
    assert added | {"vy.csdk.c_sdk.f"} <= entries


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


# ---- the distributions (CSDK_SHIPPING=1) -------------------------------------------


def run(cmd, **kw):
    """Runs cmd, failing the test with its output when it fails."""
    env = kw.pop("env", None)
    full = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "CSDK_PKG")}
    # Offline: a build or install that tried to fetch anything fails at once.
    full["PIP_NO_INDEX"] = "1"
    full.update(env or {})
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, env=full, **kw)
    assert r.returncode == 0, "%s failed (%d):\n%s\n%s" % (cmd, r.returncode, r.stdout[-4000:], r.stderr[-4000:])
    return r


def free_threaded_python():
    """The free-threaded 3.13 scripts/ft_python.sh names, when the script is
    there (CSDK_FT_PYTHON=none: none)."""
    path = os.environ.get("CSDK_FT_PYTHON")
    script = os.path.join(ROOT, "scripts", "ft_python.sh")
    if path is None and os.access(script, os.X_OK):
        r = subprocess.run([script], capture_output=True, text=True)
        path = r.stdout.strip().splitlines()[-1] if r.returncode == 0 and r.stdout.strip() else None
    if not (path and path != "none" and os.access(path, os.X_OK)):
        return None
    # Without pip (no pip wheel was to be had for it) it gets no wheel.
    r = subprocess.run([path, "-m", "pip", "--version"], capture_output=True)
    return path if r.returncode == 0 else None


def interpreters():
    """{label: python}: Debian's python3, every pyenv CPython 3.8 or later, and
    the free-threaded build, as the test command finds them."""
    found = {}
    if os.access("/usr/bin/python3", os.X_OK):
        found["debian"] = "/usr/bin/python3"
    pyenv = []
    for path in glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3")):
        m = re.match(r"3\.(\d+)\.(\d+)$", os.path.basename(os.path.dirname(os.path.dirname(path))))
        if m and int(m.group(1)) >= 8:
            pyenv.append(((int(m.group(1)), int(m.group(2))), path))
    for (minor, micro), path in sorted(pyenv):
        found["pyenv-3.%d.%d" % (minor, micro)] = path
    ft = free_threaded_python() if os.environ.get("CSDK_SHIPPING") else None
    if ft:
        found["free-threaded"] = ft
    return found


INTERPRETERS = interpreters()


def interpreter_facts(python):
    """-> (extension suffix, the wheel tag's cpXY-cpXY[t] part)."""
    code = ("import sys, sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX')); "
            "print('cp%d%d' % sys.version_info[:2], 'cp' + sysconfig.get_config_var('SOABI').split('-')[1])")
    ext, impl, abi = run([python, "-c", code]).stdout.split()
    return ext, "%s-%s" % (impl, abi)


@pytest.fixture(scope="session")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("shipping")


@pytest.fixture(scope="session")
def dist(scratch):
    """scripts/wheels.sh, once: every wheel and the source distribution."""
    out = scratch / "dist"
    env = {"CSDK_FT_PYTHON": INTERPRETERS.get("free-threaded", "none")}
    run([os.path.join(ROOT, "scripts", "wheels.sh"), "-o", out], cwd=ROOT, env=env)
    return out


def wheel_of(dist, name, tag=None):
    # (the tag ends where the platform begins: cp313-cp313 is not cp313-cp313t)
    [path] = glob.glob(str(dist / ("%s-0.1.0-%s*.whl" % (name, tag + "-" if tag else ""))))
    return path


def wheel_files(path):
    with zipfile.ZipFile(path) as z:
        return sorted(n for n in z.namelist() if ".dist-info/" not in n)


def wheel_text(path, member):
    with zipfile.ZipFile(path) as z:
        [name] = [n for n in z.namelist() if n.endswith(".dist-info/" + member)]
        return z.read(name).decode()


def module_files(python):
    ext = interpreter_facts(python)[0]
    return sorted(["vy/csdk/c_sdk" + ext, "vy/csdk/c_sdk.pyi", "vy/csdk/py.typed"])


def standin_files():
    """The vystandin package as the tree holds it, with the libraries and the
    recorder's scripts."""
    package = os.path.join(ROOT, "standin", "vystandin")
    files = ["vystandin/" + os.path.relpath(os.path.join(d, f), package).replace(os.sep, "/")
             for d, dirs, names in os.walk(package) for f in names
             if "__pycache__" not in d and not f.endswith(".pyc")]
    return sorted(files + ["vystandin/py.typed", "vystandin/lib/libvy3-c.so", "vystandin/recorder/libvy3-c.so",
                           "vystandin/recorder/record.py", "vystandin/recorder/replay.py"])


HOST_FILES = ["vy/__init__.py", "vy/constant.py", "vy/csdk/__init__.py", "vy/utils.py"]


@shipping
def test_a_module_wheel_for_every_interpreter(dist):
    tags = {label: interpreter_facts(python)[1] for label, python in INTERPRETERS.items()}
    built = {os.path.basename(w).split("-")[2] + "-" + os.path.basename(w).split("-")[3]
             for w in glob.glob(str(dist / "vy_csdk-0.1.0-*.whl"))}
    # Interpreters of one ABI (Debian's and pyenv's 3.11) share a wheel.
    assert built == set(tags.values()), tags


@shipping
def test_each_wheel_holds_its_distributions_files_only(dist):
    host, standin = wheel_of(dist, "vy_csdk_host"), wheel_of(dist, "vy_csdk_standin")
    assert wheel_files(host) == HOST_FILES
    assert wheel_files(standin) == standin_files()
    for python in set(INTERPRETERS.values()):
        module = wheel_of(dist, "vy_csdk", interpreter_facts(python)[1])
        assert wheel_files(module) == module_files(python)
        # Nothing under vy/ but the module: a host package's own files and
        # its real library are never overwritten, nor removed on uninstall.
        assert not set(wheel_files(module)) & set(wheel_files(standin) + wheel_files(host))
    assert not set(wheel_files(standin)) & set(wheel_files(host))
    for path in glob.glob(str(dist / "*.whl")):
        # Every distribution installs into platlib, beside the module.
        assert "Root-Is-Purelib: false" in wheel_text(path, "WHEEL").splitlines()
    entry_points = wheel_text(standin, "entry_points.txt")
    assert re.search(r"^\[pytest11\]\nvystandin = vystandin\.pytest_plugin$", entry_points, re.M)


# glibc versions of the manylinux policies for x86_64, oldest first.
POLICY_GLIBCS = [(2, 5), (2, 12), (2, 17), (2, 24), (2, 26), (2, 27), (2, 28), (2, 31), (2, 34), (2, 35), (2, 36)]
# What our binaries may need: the C library's parts, the unwinder (the
# stand-in's), the ELF loader; libvy3-c.so only the module, from the host.
SYSTEM_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1",
               "ld-linux-x86-64.so.2"}


def needs_of(path):
    """(NEEDED, {symbol version}) read with objdump, apart from the build's readelf."""
    out = run(["objdump", "-p", path], env={"LC_ALL": "C"}).stdout
    needed = set(re.findall(r"^\s*NEEDED\s+(\S+)$", out, re.M))
    references = out.split("Version References:", 1)[1] if "Version References:" in out else ""
    versions = set(re.findall(r"^\s+0x[0-9a-f]+ 0x[0-9a-f]+ \d+ (\S+)$", references, re.M))
    return needed, versions


def wheels_built():
    return ["vy_csdk_host", "vy_csdk_standin"] + ["vy_csdk-" + label for label in INTERPRETERS]


@shipping
@pytest.mark.parametrize("which", wheels_built())
def test_wheel_tags_match_their_binaries(dist, scratch, which):
    if which.startswith("vy_csdk-"):
        path = wheel_of(dist, "vy_csdk", interpreter_facts(INTERPRETERS[which[len("vy_csdk-"):]])[1])
    else:
        path = wheel_of(dist, which)
    unpacked = scratch / ("unpacked-" + os.path.basename(path))
    with zipfile.ZipFile(path) as z:
        z.extractall(str(unpacked))
    binaries = [os.path.join(d, f) for d, _, files in os.walk(str(unpacked)) for f in files
                if open(os.path.join(d, f), "rb").read(4) == b"\x7fELF"]
    tags = [t.split("-", 2)[2] for t in re.findall(r"^Tag: (\S+)$", wheel_text(path, "WHEEL"), re.M)]
    assert ".".join(tags) == os.path.basename(path)[:-len(".whl")].split("-", 4)[4]
    if which == "vy_csdk_host":
        assert not binaries and tags == ["any"]
        return
    assert binaries
    glibc = (2, 5)
    for binary in binaries:
        needed, versions = needs_of(binary)
        allowed = SYSTEM_LIBS | ({"libvy3-c.so"} if which.startswith("vy_csdk-") else set())
        assert needed <= allowed, (binary, needed)
        # No C++ run-time: neither the module nor the libraries need libstdc++.
        assert not {v for v in versions if v.startswith(("GLIBCXX_", "CXXABI_"))}, (binary, versions)
        assert all(tuple(map(int, v[4:].split("."))) <= (4, 2, 0) for v in versions if v.startswith("GCC_"))
        for v in versions:
            if v.startswith("GLIBC_"):
                glibc = max(glibc, tuple(map(int, v[len("GLIBC_"):].split("."))))
    policy = min(p for p in POLICY_GLIBCS if p >= glibc)
    expected = ["manylinux_%d_%d_x86_64" % policy] + (["manylinux2014_x86_64"] if policy == (2, 17) else [])
    assert tags == expected


@pytest.mark.parametrize("library, version, policy", [
    ("libc.so.6", "GLIBC_2.2.5", (2, 5)),
    ("libc.so.6", "GLIBC_2.14", (2, 17)),
    ("libc.so.6", "GLIBC_2.34", (2, 34)),
    ("libc.so.6", "GLIBC_ABI_DT_RELR", (2, 36)),
    ("libstdc++.so.6", "GLIBCXX_3.4.19", (2, 17)),
    ("libstdc++.so.6", "GLIBCXX_3.4.21", (2, 24)),
    ("libstdc++.so.6", "GLIBCXX_3.4.29", (2, 34)),
    ("libstdc++.so.6", "GLIBCXX_3.4.30", (2, 35)),
    ("libstdc++.so.6", "CXXABI_1.3.9", (2, 24)),
    ("libstdc++.so.6", "CXXABI_1.3.13", (2, 34)),
    ("libgcc_s.so.1", "GCC_7.0.0", (2, 27)),
    ("libstdc++.so.6", "GLIBCXX_3.4.31", None),
    ("libc.so.6", "GLIBC_PRIVATE", None),
    ("libc.so.6", "GLIBC_2.38", None),
])
def test_policy_table(library, version, policy):
    if policy is None:
        with pytest.raises(manylinux.PolicyError, match=re.escape(version)):
            manylinux.oldest_policy(library, version)
    else:
        assert manylinux.oldest_policy(library, version) == policy


@shipping
def test_a_binary_outside_the_policy_stops_the_build(cmake_build, monkeypatch):
    """The module needs libvy3-c.so, which only the host provides: without
    that exception its tag cannot be computed, and neither can a binary's
    that needs a glibc newer than any policy."""
    [module] = glob.glob(os.path.join(cmake_build, "pkg", "vy", "csdk", "c_sdk*.so"))
    assert manylinux.platform_tag([module]) == "manylinux_2_17_x86_64.manylinux2014_x86_64"
    monkeypatch.setattr(manylinux, "PROVIDED", set())
    with pytest.raises(manylinux.PolicyError, match="needs libvy3-c.so"):
        manylinux.platform_tag([module])
    monkeypatch.setattr(manylinux, "POLICIES", manylinux.POLICIES[:3])
    recorder = os.path.join(cmake_build, "recorder", "libvy3-c.so")
    with pytest.raises(manylinux.PolicyError, match="GLIBC_2.34"):
        manylinux.platform_tag([recorder])


# ---- installed: venvs, a host package, the install components -----------------------

_venvs = {}


def make_venv(python, where, *wheels):
    run([python, "-m", "venv", where])
    vpy = where / "bin" / "python"
    if wheels:
        run([vpy, "-m", "pip", "install", "-q", "--no-index"] + list(wheels))
    return vpy


def the_three(dist, python):
    return [wheel_of(dist, "vy_csdk", interpreter_facts(python)[1]), wheel_of(dist, "vy_csdk_standin"),
            wheel_of(dist, "vy_csdk_host")]


@pytest.fixture(scope="session")
def venv_for(dist, scratch):
    """venv_for(label): a fresh venv of that interpreter with the three wheels."""
    def make(label):
        if label not in _venvs:
            _venvs[label] = make_venv(INTERPRETERS[label], scratch / ("venv-" + label),
                                      *the_three(dist, INTERPRETERS[label]))
        return _venvs[label]
    return make


def site_packages(vpy):
    return run([vpy, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip()


LOADED = ("import vy.csdk.c_sdk as m, vystandin; print(vystandin.default_library_path()); "
          "print(m.vyi_get_c_version().decode())")


@shipping
@pytest.mark.parametrize("label", list(INTERPRETERS))
def test_the_three_wheels_run_the_demo(venv_for, scratch, label):
    vpy = venv_for(label)
    r = run([vpy, os.path.join(ROOT, "examples", "demo.py")], cwd=scratch)
    assert "  order placed: demo-1 buy 100 SHSE.600000" in r.stdout.splitlines()
    # The stand-in the module loaded is the stand-in distribution's, and the
    # one vystandin controls.
    path, version = run([vpy, "-c", LOADED], cwd=scratch).stdout.splitlines()
    assert path == os.path.realpath(os.path.join(site_packages(vpy), "vystandin", "lib", "libvy3-c.so"))
    assert version == "stand-in 1.0"


@shipping
def test_uninstalling_one_distribution_leaves_the_others(venv_for, dist):
    vpy = venv_for("debian")
    sp = site_packages(vpy)
    wheels = dict(zip(["vy-csdk", "vy-csdk-standin", "vy-csdk-host"], the_three(dist, "/usr/bin/python3")))
    for name, path in wheels.items():
        run([vpy, "-m", "pip", "uninstall", "-q", "-y", name])
        assert not any(os.path.exists(os.path.join(sp, f)) for f in wheel_files(path))
        for other, other_path in wheels.items():
            if other != name:
                assert all(os.path.exists(os.path.join(sp, f)) for f in wheel_files(other_path)), other
        run([vpy, "-m", "pip", "install", "-q", "--no-index", path])


def fake_host_wheel(where, library):
    """The host package as a wheel of its own: vy/ with its own pieces and a
    libvy3-c.so beside the module's place (another stand-in build, which
    answers with another version text)."""
    files = {
        "vy/__init__.py": b"# the host package\n",
        "vy/constant.py": b"CSDK_OPERATE_SUCCESS = 0\n",
        "vy/utils.py": b"import logging\nvysdklogger = logging.getLogger('host')\n",
        "vy/csdk/__init__.py": b"# the host's csdk package\n",
        "vy/csdk/libvy3-c.so": open(library, "rb").read(),
    }
    files["vy_host-1.0.dist-info/METADATA"] = b"Metadata-Version: 2.1\nName: vy-host\nVersion: 1.0\n"
    files["vy_host-1.0.dist-info/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: false\n"
                                            b"Tag: py3-none-any\n")
    record = ["%s,,%d" % (name, len(data)) for name, data in files.items()] + ["vy_host-1.0.dist-info/RECORD,,"]
    files["vy_host-1.0.dist-info/RECORD"] = ("\n".join(record) + "\n").encode()
    path = where / "vy_host-1.0-py3-none-any.whl"
    with zipfile.ZipFile(str(path), "w") as z:
        for name, data in files.items():
            z.writestr(name, data)
    return path, sorted(n for n in files if not n.startswith("vy_host"))


def digests(root, names):
    return {n: hashlib.sha256(open(os.path.join(root, n), "rb").read()).hexdigest() for n in names}


@shipping
def test_over_a_host_package(dist, cmake_build, scratch):
    host, host_files = fake_host_wheel(scratch, os.path.join(cmake_build, "alt", "libvy3-c.so"))
    vpy = make_venv("/usr/bin/python3", scratch / "venv-host-package", host)
    sp = site_packages(vpy)
    before = digests(sp, host_files)
    host_library = os.path.realpath(os.path.join(sp, "vy", "csdk", "libvy3-c.so"))
    module, standin, _ = the_three(dist, "/usr/bin/python3")

    run([vpy, "-m", "pip", "install", "-q", "--no-index", module])
    assert digests(sp, host_files) == before
    calls = "import vy.csdk.c_sdk as m; print(m.vyi_get_c_version().decode())"
    assert run([vpy, "-c", calls], cwd=scratch).stdout.strip() == "stand-in alternate"

    run([vpy, "-m", "pip", "install", "-q", "--no-index", standin])
    assert digests(sp, host_files) == before
    path, version = run([vpy, "-c", LOADED], cwd=scratch).stdout.splitlines()
    assert (path, version) == (host_library, "stand-in alternate")
    # Control calls act on the library the module calls: the host's.
    programmed = ("import vystandin, vy.csdk.c_sdk as m; s = vystandin.StandIn(); s.reset(); "
                  "s.set_text('vyi_get_c_version', b'programmed'); print(m.vyi_get_c_version().decode())")
    assert run([vpy, "-c", programmed], cwd=scratch).stdout.strip() == "programmed"
    # Offline beside the host package: the stand-in's folder first on the
    # loader's path, and vystandin finds that library, not the host's.
    standin_lib = os.path.join(sp, "vystandin", "lib")
    path, version = run([vpy, "-c", LOADED], cwd=scratch, env={"LD_LIBRARY_PATH": standin_lib}).stdout.splitlines()
    assert (path, version) == (os.path.realpath(os.path.join(standin_lib, "libvy3-c.so")), "stand-in 1.0")

    run([vpy, "-m", "pip", "uninstall", "-q", "-y", "vy-csdk-standin"])
    assert digests(sp, host_files) == before
    assert run([vpy, "-c", calls], cwd=scratch).stdout.strip() == "stand-in alternate"
    run([vpy, "-m", "pip", "uninstall", "-q", "-y", "vy-csdk"])
    assert digests(sp, host_files) == before
    assert not glob.glob(os.path.join(sp, "vy", "csdk", "c_sdk*"))


@pytest.fixture(scope="session")
def cmake_build(dist):
    """The CMake build Debian's python3 wheel left, with the libraries of the
    other components and the alternate stand-in built too."""
    for cache in glob.glob(os.path.join(ROOT, "build", "temp.*", "cmake-*", "CMakeCache.txt")):
        with open(cache) as f:
            if re.search(r"^Python_EXECUTABLE:\w+=/usr/bin/python3$", f.read(), re.M):
                build = os.path.dirname(cache)
                run(["cmake", "--build", build, "--target", "vy3_recorder", "vy3_standin_alt"])
                return build
    pytest.fail("the wheel build left no CMake build for /usr/bin/python3")


def install(build, prefix, *components):
    for c in components:
        run(["cmake", "--install", build, "--prefix", prefix, "--component", c])
    if not components:
        run(["cmake", "--install", build, "--prefix", prefix])
    return sorted(os.path.relpath(os.path.join(d, f), str(prefix)).replace(os.sep, "/")
                  for d, _, files in os.walk(str(prefix)) for f in files)


@pytest.fixture(scope="session")
def full_install(cmake_build, scratch):
    prefix = scratch / "prefix-all"
    return prefix, install(cmake_build, prefix)


@shipping
def test_install_components_are_the_wheels(cmake_build, full_install, scratch):
    expected = {"module": module_files("/usr/bin/python3"), "standin": standin_files(), "host": HOST_FILES}
    for component, files in expected.items():
        assert install(cmake_build, scratch / ("prefix-" + component), component) == files
    # All three by default, and nothing else: no alternate stand-in, no test build.
    assert full_install[1] == sorted(sum(expected.values(), []))


@shipping
def test_installed_tree_imports_from_anywhere(full_install, scratch):
    prefix, _ = full_install
    env = {"PYTHONPATH": str(prefix)}
    # From outside the tree: a query against the stand-in, a logged failure.
    r = run([sys.executable, os.path.join(ROOT, "tests", "smoke.py")], cwd=scratch, env=env)
    assert "smoke checks passed" in r.stdout
    # From the project root too: no source folder shadows the installed tree.
    r = run([sys.executable, "-c", "import vy.csdk.c_sdk as m; print(m.__file__)"], cwd=ROOT, env=env)
    assert r.stdout.strip().startswith(str(prefix) + os.sep)


@shipping
def test_module_looks_beside_itself_first_then_at_the_stand_in(full_install):
    prefix, files = full_install
    [module] = [f for f in files if f.startswith("vy/csdk/c_sdk") and not f.endswith((".pyi", ".typed"))]
    dynamic = run(["readelf", "-d", prefix / module]).stdout
    assert re.search(r"\(RUNPATH\)\s+Library runpath: \[\$ORIGIN:\$ORIGIN/\.\./\.\./vystandin/lib\]", dynamic), dynamic


@shipping
def test_install_into_an_interpreters_platlib(cmake_build, scratch):
    """The host-package line: --prefix is the interpreter's platlib."""
    vpy = make_venv(sys.executable, scratch / "venv-platlib")
    platlib = site_packages(vpy)
    install(cmake_build, platlib)
    r = run([vpy, "-c", "import vy.csdk.c_sdk as m, vystandin; vystandin.StandIn().reset(); "
             "print(m.py_vyi_get_orders(b'r'), m.__file__)"], cwd=scratch)
    assert r.stdout.startswith("(0, b'') " + platlib)


@shipping
def test_source_distribution_builds_the_same_wheels(dist, scratch):
    [sdist] = glob.glob(str(dist / "vy[-_]csdk-0.1.0.tar.gz"))
    unpacked = scratch / "from-sdist"
    with tarfile.open(sdist) as tar:
        tar.extractall(str(unpacked))
    [tree] = glob.glob(str(unpacked / "*"))
    out = scratch / "dist-from-sdist"
    run([os.path.join(tree, "scripts", "wheels.sh"), "-o", out, "/usr/bin/python3"], cwd=tree)
    for name in ("vy_csdk_host", "vy_csdk_standin", "vy_csdk"):
        rebuilt = wheel_of(out, name, None if name != "vy_csdk" else interpreter_facts("/usr/bin/python3")[1])
        original = wheel_of(dist, name, None if name != "vy_csdk" else interpreter_facts("/usr/bin/python3")[1])
        assert os.path.basename(rebuilt) == os.path.basename(original)
        assert wheel_files(rebuilt) == wheel_files(original)


# ---- stubs and typed code under both checkers ---------------------------------------


# Installed by scripts/deps.sh from the npm registry.
PYRIGHT = os.path.join(ROOT, "build", "tools", "pyright", "node_modules", ".bin", "pyright")


@shipping
def test_stubtest_is_clean(full_install, scratch):
    prefix, _ = full_install
    env = {"PYTHONPATH": str(prefix), "MYPYPATH": str(prefix)}
    allow = scratch / "stubtest-allowlist"
    allow.write_text(gen_stubs.allowlist(SOURCE))
    # The entries are generated, so an unused one is not a stale one: it only
    # means this interpreter's stubtest has nothing to say about that name.
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
    assert pyright_errors(prefix / "vy" / "csdk" / "c_sdk.pyi", None, scratch, "strict", target) == {}


def mypy_errors(path, venv, scratch):
    """{line: messages} of mypy --strict for 3.8 targets, finding the module
    through the venv's installed wheels (their typing markers).  By default
    mypy takes a memoryview for bytes; the stubs say bytes and mean it."""
    cmd = [sys.executable, "-m", "mypy", "--python-executable", venv, "--python-version", "3.8", "--strict",
           "--disable-memoryview-promotion", "--no-incremental", "--cache-dir", scratch / "mypy-cache",
           "--no-error-summary", "--show-error-codes", path]
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, cwd=str(scratch))
    errors = {}
    for where, line, message in re.findall(r"^(.+?):(\d+): error: (.*)$", r.stdout, re.M):
        assert os.path.basename(where) == os.path.basename(path), r.stdout
        errors.setdefault(int(line), []).append(message)
    assert r.returncode == (1 if errors else 0), r.stdout + r.stderr
    return errors


def pyright_errors(path, venv, scratch, mode, target="3.8"):
    """{line: messages} of pyright in the given mode, finding the module
    through the venv's interpreter (none: the stub alone)."""
    assert os.access(PYRIGHT, os.X_OK), "pyright is missing: scripts/deps.sh installs it"
    config = scratch / ("pyright-%s-%s.json" % (mode, target))
    config.write_text(json.dumps({"pythonVersion": target, "typeCheckingMode": mode}))
    cmd = [PYRIGHT, "--outputjson", "--project", str(config), str(path)]
    if venv:
        cmd[1:1] = ["--pythonpath", str(venv)]
    r = subprocess.run(cmd, capture_output=True, text=True, cwd=str(scratch))
    report = json.loads(r.stdout)
    assert report["summary"]["filesAnalyzed"] == 1, r.stdout
    errors = {}
    for d in report["generalDiagnostics"]:
        if d["severity"] == "error":
            assert os.path.basename(d["file"]) == os.path.basename(path)
            errors.setdefault(d["range"]["start"]["line"] + 1, []).append(d["message"])
    assert r.returncode == (1 if errors else 0), r.stdout + r.stderr
    return errors


def marked_lines(path):
    """{checker: lines} from the `# E:` (both), `# E (mypy):` and
    `# E (pyright):` comments."""
    marked = {"mypy": set(), "pyright": set()}
    with open(path) as f:
        for tok in tokenize.generate_tokens(f.readline):
            m = re.match(r"# E(?: \((mypy|pyright)\))?:", tok.string) if tok.type == tokenize.COMMENT else None
            if m:
                for checker in ([m.group(1)] if m.group(1) else list(marked)):
                    marked[checker].add(tok.start[0])
    return marked


@shipping
def test_typed_example_passes_both_checkers(venv_for, scratch):
    example = os.path.join(ROOT, "tests", "typing", "ok_example.py")
    assert mypy_errors(example, venv_for("debian"), scratch) == {}
    assert pyright_errors(example, venv_for("debian"), scratch, "strict") == {}


@shipping
def test_each_misuse_is_flagged_on_its_line_by_each_checker(venv_for, scratch):
    example = os.path.join(ROOT, "tests", "typing", "bad_example.py")
    marked = marked_lines(example)
    assert len(marked["mypy"] & marked["pyright"]) >= 15
    flagged = {"mypy": mypy_errors(example, venv_for("debian"), scratch),
               "pyright": pyright_errors(example, venv_for("debian"), scratch, "strict")}
    for checker in ("mypy", "pyright"):
        assert set(flagged[checker]) == marked[checker], (checker, flagged[checker])


@shipping
def test_the_demo_is_clean_in_both_checkers(venv_for, scratch):
    demo = os.path.join(ROOT, "examples", "demo.py")
    assert mypy_errors(demo, venv_for("debian"), scratch) == {}
    assert pyright_errors(demo, venv_for("debian"), scratch, "standard") == {}
