"""The built module needs no C++ runtime: loading libstdc++ (and libgcc_s)
would be most of the import's cost."""
import re
import shutil
import subprocess

import pytest

from conftest import c_sdk

pytestmark = pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf (binutils)")


def needed(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


@pytest.fixture(scope="module")
def module_needs():
    return needed(c_sdk.__file__)


def test_the_sdk_library_is_needed_by_its_soname(module_needs):
    assert "libvy3-c.so" in module_needs


@pytest.mark.parametrize("runtime", ["libstdc++", "libgcc_s"])
def test_no_cxx_runtime_is_needed(module_needs, runtime):
    assert not [lib for lib in module_needs if lib.startswith(runtime)], module_needs


# ---- private C API -------------------------------------------------------------

# Public macros and inline functions of the interpreter's headers, as the
# module uses them: what they expand to may call underscored functions of
# that version (Py_DECREF -> _Py_Dealloc, ...), which the module may then need.
PROBE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
#include <frameobject.h>
static PyTypeObject probe_type;
PyObject *probe(PyObject *o, PyObject *const *args, PyObject *kw) {
    PyObject *cleared = o;
    Py_INCREF(o); Py_XINCREF(o); Py_DECREF(o); Py_XDECREF(o); Py_CLEAR(cleared);
    PyObject *n = Py_None, *t = Py_True, *f = Py_False;
    PyObject *a = PyObject_New(PyObject, &probe_type);
    PyObject *b = (PyObject *)PyObject_GC_New(PyObject, &probe_type);
    PyObject *x = NULL;
    static char *kwlist[] = {"a", NULL};
    PyArg_ParseTupleAndKeywords(o, kw, "O", kwlist, &x);
    PyObject *c = Py_BuildValue("(OOO)", n, t, f);
#if PY_VERSION_HEX >= 0x03090000
    PyObject *d = PyObject_Vectorcall(o, args, 1, kw);
    PyObject *e = PyObject_CallOneArg(o, a);
#else
    PyObject *d = NULL, *e = NULL;
#endif
    Py_ssize_t s = PyTuple_GET_SIZE(o) + PyBytes_GET_SIZE(o) + PyDict_GET_SIZE(o);
    return PyTuple_Pack(6, a, b, c, d, e, PyLong_FromSsize_t(s + (PyUnicode_CheckExact(o) ? 1 : 0)));
}
"""


def undefined_private(path):
    out = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True, text=True,
                         check=True).stdout
    return set(re.findall(r"\b(_Py\w+)", out))


def listed_private():
    """{name: (first, last)} from compat.h's "private:" lines."""
    import os
    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "vy", "csdk",
                           "compat.h")) as f:
        text = f.read()
    listed = {}
    for name, first, last in re.findall(r"//\s+private:\s+(\w+)\s+(\d+\.\d+)-(\d+\.\d+)", text):
        listed[name] = tuple(int(v) for v in first.split(".")), tuple(int(v) for v in last.split("."))
    return listed


@pytest.fixture(scope="module")
def from_public_macros(tmp_path_factory):
    import sysconfig
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("needs a C compiler")
    d = tmp_path_factory.mktemp("probe")
    (d / "probe.c").write_text(PROBE)
    flags = ["-DPy_DEBUG"] if sysconfig.get_config_var("Py_DEBUG") else []
    subprocess.run([cc, "-O2", "-fPIC", "-shared", "-I" + sysconfig.get_paths()["include"], *flags,
                    str(d / "probe.c"), "-o", str(d / "probe.so")], check=True)
    return undefined_private(str(d / "probe.so"))


def test_private_functions_are_only_the_listed_ones(from_public_macros):
    import sys
    version = sys.version_info[:2]
    listed = listed_private()
    allowed = {name for name, (first, last) in listed.items() if first <= version <= last}
    used = undefined_private(c_sdk.__file__)
    assert used - from_public_macros - allowed == set()


def test_the_listed_private_functions_are_declared_by_those_headers():
    """Each listed private function is in this version's headers where the
    list says so, and not said to be where it is not."""
    import glob
    import sys
    import sysconfig
    version = sys.version_info[:2]
    headers = ""
    for path in glob.glob(sysconfig.get_paths()["include"] + "/**/*.h", recursive=True):
        with open(path, errors="replace") as f:
            headers += f.read()
    for name, (first, last) in listed_private().items():
        declared = re.search(r"\b%s\s*\(" % name, headers) is not None
        if first <= version <= last:
            assert declared, name
