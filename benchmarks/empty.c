/* _bench_empty - an empty extension module linked to libvy3-c.so: the
 * yardstick of the import's own work (loading the library is common to both). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vycsdk.h"

/* One reference keeps the library a real dependency under --as-needed. */
void *bench_empty_anchor = (void *)vyi_run;

static struct PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "_bench_empty", NULL, -1, NULL};

PyMODINIT_FUNC PyInit__bench_empty(void) { return PyModule_Create(&moduledef); }
