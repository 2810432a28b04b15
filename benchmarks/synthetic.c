/* _bench_synthetic - the work an import of a module shaped like c_sdk cannot
 * avoid, the yardstick between the empty module and ours: 200 built-in
 * functions added one by one, and 4 classes made by calling type() with a
 * namespace of __slots__, methods and properties (property(getter), then its
 * setter), with as many methods and properties as the record classes.  Linked
 * to libvy3-c.so like the others.  Names come from static tables, so that
 * nothing but the interpreter's own work is counted. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vycsdk.h"

void *bench_synthetic_anchor = (void *)vyi_run;

static PyObject *noop(PyObject *self, PyObject *arg) { Py_RETURN_NONE; }

/* "f000" to "f199" */
#define D10(p) p "0", p "1", p "2", p "3", p "4", p "5", p "6", p "7", p "8", p "9"
#define D100(p) D10(p "0"), D10(p "1"), D10(p "2"), D10(p "3"), D10(p "4"), D10(p "5"), D10(p "6"), D10(p "7"), \
                D10(p "8"), D10(p "9")
static const char *const function_names[] = {D100("f0"), D100("f1")};
#define FUNCTIONS ((int)(sizeof function_names / sizeof function_names[0]))
static PyMethodDef defs[FUNCTIONS];
static PyMethodDef method_def = {"method", noop, METH_O, NULL};

static const char *const method_names[] = {"__init__", "__getitem__", "__setitem__", "__contains__", "__getattr__",
                                           "__setattr__", "__str__", "__repr__"};
static const char *const field_names[] = {"p00", "p01", "p02", "p03", "p04", "p05", "p06", "p07",
                                          "p08", "p09", "p10", "p11", "p12", "p13"};
/* The record classes' shapes: methods, properties, whether they have a setter. */
static const struct {
    const char *name;
    int methods, fields, writable;
} classes[] = {{"C0", 7, 4, 0}, {"C1", 7, 14, 1}, {"C2", 8, 13, 1}, {"C3", 7, 0, 0}};

static int add_functions(PyObject *module, PyObject *dict) {
    for (int i = 0; i < FUNCTIONS; ++i) {
        defs[i] = (PyMethodDef){function_names[i], noop, METH_O, NULL};
        PyObject *fn = PyCFunction_NewEx(&defs[i], module, NULL);
        int r = fn ? PyDict_SetItemString(dict, function_names[i], fn) : -1;
        Py_XDECREF(fn);
        if (r < 0)
            return -1;
    }
    return 0;
}

static int add_property(PyObject *ns, const char *name, int writable) {
    PyObject *get = PyCFunction_NewEx(&method_def, NULL, NULL);
    PyObject *prop = get ? PyObject_CallFunctionObjArgs((PyObject *)&PyProperty_Type, get, NULL) : NULL;
    Py_XDECREF(get);
    if (prop && writable) {
        PyObject *set = PyCFunction_NewEx(&method_def, NULL, NULL);
        PyObject *setter = PyUnicode_InternFromString("setter");
        PyObject *full = set && setter ? PyObject_CallMethodObjArgs(prop, setter, set, NULL) : NULL;
        Py_XDECREF(set);
        Py_XDECREF(setter);
        Py_SETREF(prop, full);
    }
    int r = prop ? PyDict_SetItemString(ns, name, prop) : -1;
    Py_XDECREF(prop);
    return r;
}

static PyObject *make_class(int k) {
    PyObject *ns = PyDict_New(), *slots = NULL, *cls = NULL;
    if (!ns)
        return NULL;
    slots = Py_BuildValue("[s]", "data");
    if (!slots || PyDict_SetItemString(ns, "__slots__", slots) < 0)
        goto done;
    for (int m = 0; m < classes[k].methods; ++m) {
        PyObject *fn = PyCFunction_NewEx(&method_def, NULL, NULL);
        int r = fn ? PyDict_SetItemString(ns, method_names[m], fn) : -1;
        Py_XDECREF(fn);
        if (r < 0)
            goto done;
    }
    for (int p = 0; p < classes[k].fields; ++p)
        if (add_property(ns, field_names[p], classes[k].writable) < 0)
            goto done;
    cls = PyObject_CallFunction((PyObject *)&PyType_Type, "s(O)O", classes[k].name, (PyObject *)&PyBaseObject_Type,
                                ns);
done:
    Py_XDECREF(slots);
    Py_DECREF(ns);
    return cls;
}

static int exec_module(PyObject *module) {
    PyObject *dict = PyModule_GetDict(module);
    for (int k = 0; k < 4; ++k) {
        PyObject *cls = make_class(k);
        int r = cls ? PyDict_SetItemString(dict, classes[k].name, cls) : -1;
        Py_XDECREF(cls);
        if (r < 0)
            return -1;
    }
    return add_functions(module, dict);
}

static PyModuleDef_Slot slots[] = {
    {Py_mod_exec, (void *)exec_module},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, NULL},
};

static struct PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "_bench_synthetic", NULL, 0, NULL, slots};

PyMODINIT_FUNC PyInit__bench_synthetic(void) { return PyModuleDef_Init(&moduledef); }
