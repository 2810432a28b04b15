// state.cpp - process-wide record, interned names and the shared helpers.
#include "state.hpp"

#include <frameobject.h>  // PyFrame_New

namespace csdk {

State g_state;
Names g_names;
HotGlobals g_hot{nullptr, nullptr, -1,
#if PY_VERSION_HEX >= 0x030C0000
                 true
#else
                 0
#endif
};

namespace {

#ifndef Py_GIL_DISABLED
#if PY_VERSION_HEX >= 0x030C0000
int on_namespace_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    g_hot.stale = true;
    return 0;
}
int g_dict_watcher = -1;  // -2: none to be had

/// Watches the namespace; false when the interpreter has no watcher left.
bool watch_namespace() noexcept {
    if (g_dict_watcher == -1) {
        int id = PyDict_AddWatcher(on_namespace_change);
        if (id < 0 || PyDict_Watch(id, g_state.dict) < 0) {
            PyErr_Clear();
            g_dict_watcher = -2;
        } else {
            g_dict_watcher = id;
        }
    }
    return g_dict_watcher >= 0;
}
#endif

/// The namespace's own entry, borrowed, or nullptr (no error left set).
PyObject *own_entry(PyObject *name) noexcept {
    PyObject *v = PyDict_GetItemWithError(g_state.dict, name);
    if (!v)
        PyErr_Clear();  // only a failed comparison of keys: the full lookup reports it
    return v;
}
#endif

}  // namespace

void refresh_hot_globals() noexcept {
#ifndef Py_GIL_DISABLED
    g_hot.success = g_hot.f = nullptr;
    g_hot.is_py2 = -1;
    if (!g_state.dict)
        return;
#if PY_VERSION_HEX >= 0x030C0000
    if (!watch_namespace())
        return;
    g_hot.stale = false;
#else
    g_hot.version = reinterpret_cast<PyDictObject *>(g_state.dict)->ma_version_tag;
#endif
    PyObject *flag = own_entry(g_names.IS_PY2);
    g_hot.is_py2 = flag == Py_True ? 1 : flag == Py_False ? 0 : -1;
    g_hot.success = own_entry(g_names.CSDK_OPERATE_SUCCESS);
    g_hot.f = own_entry(g_names.f);
#endif
}

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
    Ref v = global(name);  // owned: __bool__ may rebind the global
    if (!v)
        return -1;
    if (v.get() == Py_False || v.get() == Py_True)
        return v.get() == Py_True;
    return PyObject_IsTrue(v.get());
}

}  // namespace csdk
