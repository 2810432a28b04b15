// state.cpp - process-wide record, interned names and the shared helpers.
#include "state.hpp"

namespace csdk {

State g_state;
Names g_names;

int intern_names() noexcept {
    if (g_names.CSDK_OPERATE_SUCCESS)
        return 0;
#define CSDK_INTERN_NAME_(id, text) \
    if (!(g_names.id = PyUnicode_InternFromString(text))) return -1;
    CSDK_INTERNED_STRINGS(CSDK_INTERN_NAME_)
#undef CSDK_INTERN_NAME_
    return 0;
}

void add_traceback(const char *qualified_name) noexcept {
    _PyTraceback_Add(qualified_name, "c_sdk.cpp", 1);
}

int global_truth(PyObject *name) noexcept {
    PyObject *v = global(name);
    if (!v)
        return -1;
    if (v == Py_False || v == Py_True)
        return v == Py_True;
    return PyObject_IsTrue(Ref::borrow(v).get());  // __bool__ may rebind the global
}

}  // namespace csdk
