// state.cpp - process-wide record, interned names and the shared helpers.
#include "state.hpp"

#include <frameobject.h>  // PyFrame_New

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

void add_traceback(const char *qualified_name, const char *filename) noexcept {
    // An empty code object named after the function, a frame running it and
    // that frame as the exception's newest entry: what the interpreter's own
    // helper does, in public calls.  Made with the exception put aside, as no
    // Python code may run with one set (a file system codec might).
    Ref exc = fetch_exception();
    Ref globals = Ref::steal(PyDict_New());
    Ref code = globals ? Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, qualified_name, 1)))
                       : Ref();
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject *>(
                           PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                                       globals.get(), nullptr)))
                     : Ref();
    if (!frame)
        PyErr_Clear();  // no entry, but the exception itself goes on unchanged
    restore_exception(std::move(exc));
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
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
