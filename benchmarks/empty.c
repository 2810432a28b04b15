/* _bench_empty - an empty multi-phase extension module linked to
 * libvy3-c.so: the yardstick of the import's own work (loading the library is
 * common to every module imported beside it). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vycsdk.h"

/* One reference keeps the library a real dependency under --as-needed. */
void *bench_empty_anchor = (void *)vyi_run;

static int exec_module(PyObject *module) { return 0; }

static PyModuleDef_Slot slots[] = {
    {Py_mod_exec, (void *)exec_module},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, NULL},
};

static struct PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "_bench_empty", NULL, 0, NULL, slots};

PyMODINIT_FUNC PyInit__bench_empty(void) { return PyModuleDef_Init(&moduledef); }
