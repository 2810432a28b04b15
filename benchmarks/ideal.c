/* _bench_ideal - hand-written raw C-API wrappers of the benchmarked calls,
 * the yardstick for the module's calling shapes, and the floor of the event
 * path.  Built by scripts/bench.sh against the same libvy3-c.so.
 *
 *   query(req)                METH_O: vyi_get_symbol_infos, status compared
 *                             with c_sdk.CSDK_OPERATE_SUCCESS, (status, bytes|None)
 *   backtest_config(...)      METH_FASTCALL | METH_KEYWORDS, 12 parameters,
 *                             parsed by PyArg_ParseTupleAndKeywords
 *   use_floor_callback(f)     registers the floor callback: per event a fresh
 *                             str and bytes and the call f(type, payload)
 *   run()                     vyi_run() */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

#include "vycsdk.h"

#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#endif
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *o) {
    Py_INCREF(o);
    return o;
}
#endif

static PyObject *g_dict;    /* c_sdk's namespace */
static PyObject *g_success; /* "CSDK_OPERATE_SUCCESS" */
static PyObject *g_f;

static PyObject *bind(PyObject *self, PyObject *module) {
    Py_XSETREF(g_dict, Py_NewRef(PyModule_GetDict(module)));
    Py_RETURN_NONE;
}

static PyObject *query(PyObject *self, PyObject *req) {
    if (!PyBytes_Check(req)) {
        PyErr_SetString(PyExc_TypeError, "expected bytes");
        return NULL;
    }
    void *res = NULL;
    int res_len = 0;
    int status = vyi_get_symbol_infos(PyBytes_AS_STRING(req), (int)PyBytes_GET_SIZE(req), &res, &res_len);
    PyObject *success = PyDict_GetItemWithError(g_dict, g_success);
    if (!success)
        return PyErr_Occurred() ? NULL : PyErr_Format(PyExc_NameError, "CSDK_OPERATE_SUCCESS");
    PyObject *st = PyLong_FromLong(status);
    if (!st)
        return NULL;
    int ok = PyObject_RichCompareBool(st, success, Py_EQ);
    PyObject *payload = ok > 0 ? PyBytes_FromStringAndSize(res, res_len) : ok == 0 ? Py_NewRef(Py_None) : NULL;
    PyObject *pair = payload ? PyTuple_New(2) : NULL;
    if (!pair) {
        Py_DECREF(st);
        Py_XDECREF(payload);
        return NULL;
    }
    PyTuple_SET_ITEM(pair, 0, st);
    PyTuple_SET_ITEM(pair, 1, payload);
    return pair;
}

static PyObject *backtest_config(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static char *kwlist[] = {"start_time", "end_time", "initial_cash", "transaction_ratio", "commission_ratio",
                             "commission_unit", "slippage_ratio", "option_float_margin_ratio1",
                             "option_float_margin_ratio2", "adjust", "match_mode", "check_cache", NULL};
    /* The usual hand-written route: the interpreter's parser on a tuple and a dict. */
    PyObject *tuple = PyTuple_New(nargs), *dict = NULL, *result = NULL;
    if (!tuple)
        return NULL;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    if (kwnames) {
        dict = PyDict_New();
        for (Py_ssize_t k = 0; dict && k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                Py_CLEAR(dict);
        if (!dict)
            goto done;
    }
    const char *start, *end;
    double cash, tr, cr, cu, sr, m1, m2;
    int adjust, match, cache;
    if (PyArg_ParseTupleAndKeywords(tuple, dict, "yyddddddd" "iii:backtest_config", kwlist, &start, &end, &cash,
                                    &tr, &cr, &cu, &sr, &m1, &m2, &adjust, &match, &cache))
        result = PyLong_FromLong(vyi_set_backtest_config(start, end, cash, tr, cr, cu, sr, m1, m2, adjust, match,
                                                         cache));
done:
    Py_DECREF(tuple);
    Py_XDECREF(dict);
    return result;
}

static void floor_callback(const char *msg_type, void *data, int data_len) {
    PyObject *type = PyUnicode_DecodeUTF8(msg_type, (Py_ssize_t)strlen(msg_type), "strict");
    PyObject *payload = PyBytes_FromStringAndSize(data, data_len);
    PyObject *r = NULL;
    if (type && payload) {
        PyObject *argv[2] = {type, payload};
        r = PyObject_Vectorcall(g_f, argv, 2, NULL);
    }
    Py_XDECREF(type);
    Py_XDECREF(payload);
    if (!r)
        PyErr_WriteUnraisable(g_f);
    Py_XDECREF(r);
}

static PyObject *use_floor_callback(PyObject *self, PyObject *f) {
    Py_XSETREF(g_f, Py_NewRef(f));
    vyi_set_event_callback_pb(floor_callback);
    Py_RETURN_NONE;
}

static PyObject *run(PyObject *self, PyObject *unused) { return PyLong_FromLong(vyi_run()); }

static PyMethodDef methods[] = {
    {"bind", bind, METH_O, NULL},
    {"query", query, METH_O, NULL},
    {"backtest_config", (PyCFunction)(void (*)(void))backtest_config, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"use_floor_callback", use_floor_callback, METH_O, NULL},
    {"run", run, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "_bench_ideal", NULL, -1, methods};

PyMODINIT_FUNC PyInit__bench_ideal(void) {
    g_success = PyUnicode_InternFromString("CSDK_OPERATE_SUCCESS");
    return g_success ? PyModule_Create(&moduledef) : NULL;
}
