/* _csdk_argref - test-only reference for the module's argument parsing.
 *
 * make(name, params, required, fastcall) returns a built-in function named
 * `name` that parses its arguments with the interpreter's own
 * PyArg_ParseTupleAndKeywords, with the format the module's calling shapes
 * use ("OO|O:name"), and returns {param: value} for the parameters bound.
 * With fastcall true it is entered as METH_FASTCALL | METH_KEYWORDS and
 * rebuilds the argument tuple and keyword dict itself, so the interpreter's
 * own checks on the way into such a function apply too.  Never installed. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_PARAMS 12

typedef struct {
    PyMethodDef def;
    int nparams;
    char name[128];
    char format[MAX_PARAMS + 160];
    char *kwlist[MAX_PARAMS + 1];
    char storage[MAX_PARAMS][64];
} Parser;

static const char CAPSULE[] = "_csdk_argref.parser";

static void parser_free(PyObject *capsule) {
    free(PyCapsule_GetPointer(capsule, CAPSULE));
}

static PyObject *parse(Parser *p, PyObject *args, PyObject *kwargs) {
    PyObject *o[MAX_PARAMS] = {NULL};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, p->format, p->kwlist, &o[0], &o[1], &o[2], &o[3], &o[4],
                                     &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11]))
        return NULL;
    PyObject *bound = PyDict_New();
    if (!bound)
        return NULL;
    for (int i = 0; i < p->nparams; ++i)
        if (o[i] && PyDict_SetItemString(bound, p->kwlist[i], o[i]) < 0) {
            Py_DECREF(bound);
            return NULL;
        }
    return bound;
}

static PyObject *call_varargs(PyObject *self, PyObject *args, PyObject *kwargs) {
    return parse(PyCapsule_GetPointer(self, CAPSULE), args, kwargs);
}

static PyObject *call_fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *tuple = PyTuple_New(nargs), *dict = NULL, *result = NULL;
    if (!tuple)
        return NULL;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        if (!(dict = PyDict_New()))
            goto done;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                goto done;
    }
    result = parse(PyCapsule_GetPointer(self, CAPSULE), tuple, dict);
done:
    Py_DECREF(tuple);
    Py_XDECREF(dict);
    return result;
}

static PyObject *make(PyObject *module, PyObject *args) {
    const char *name;
    PyObject *params;
    int required, fastcall;
    if (!PyArg_ParseTuple(args, "sO!ip:make", &name, &PyTuple_Type, &params, &required, &fastcall))
        return NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(params);
    if (n < 1 || n > MAX_PARAMS || strlen(name) >= 100) {
        PyErr_SetString(PyExc_ValueError, "1 to 12 parameters and a short name");
        return NULL;
    }
    Parser *p = calloc(1, sizeof *p);
    if (!p)
        return PyErr_NoMemory();
    PyObject *capsule = PyCapsule_New(p, CAPSULE, parser_free);
    if (!capsule) {
        free(p);
        return NULL;
    }
    p->nparams = (int)n;
    snprintf(p->name, sizeof p->name, "%s", name);
    char *f = p->format;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char *param = PyUnicode_AsUTF8(PyTuple_GET_ITEM(params, i));
        if (!param || strlen(param) >= sizeof p->storage[i]) {
            if (param)
                PyErr_SetString(PyExc_ValueError, "parameter name too long");
            Py_DECREF(capsule);
            return NULL;
        }
        strcpy(p->storage[i], param);
        p->kwlist[i] = p->storage[i];
        if (required >= 0 && i == required)
            *f++ = '|';
        *f++ = 'O';
    }
    snprintf(f, sizeof p->format - (size_t)(f - p->format), ":%s", name);
    p->def.ml_name = p->name;
    p->def.ml_meth = fastcall ? (PyCFunction)(void (*)(void))call_fast : (PyCFunction)(void (*)(void))call_varargs;
    p->def.ml_flags = fastcall ? METH_FASTCALL | METH_KEYWORDS : METH_VARARGS | METH_KEYWORDS;
    PyObject *fn = PyCFunction_NewEx(&p->def, capsule, NULL);
    Py_DECREF(capsule);
    return fn;
}

static PyMethodDef methods[] = {
    {"make", make, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "_csdk_argref", NULL, -1, methods};

PyMODINIT_FUNC PyInit__csdk_argref(void) {
    PyObject *m = PyModule_Create(&moduledef);
#ifdef Py_GIL_DISABLED
    /* Only argument parsing, no state: importing it must not turn the GIL
       back on for the rest of a free-threaded test run. */
    if (m && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return NULL;
    }
#endif
    return m;
}
