// state.hpp - the module's process-wide record and its interned names.
//
// The module keeps no per-module state: one process, one interpreter, one
// module object.  Names used as globals are interned once; their values are
// looked up in the module dict, then the builtins dict, at every use, so
// rebinding an attribute of c_sdk changes later calls.
#ifndef CSDK_STATE_HPP
#define CSDK_STATE_HPP

#include <atomic>
#include <cstdint>

#include "ref.hpp"

namespace csdk {

// S(identifier, text): strings interned at initialisation.
#define CSDK_INTERNED_STRINGS(S)                         \
    S(CSDK_OPERATE_SUCCESS, "CSDK_OPERATE_SUCCESS")      \
    S(vysdklogger, "vysdklogger")                        \
    S(IS_PY2, "IS_PY2")                                  \
    S(IS_PY3, "IS_PY3")                                  \
    S(functools, "functools")                            \
    S(platform, "platform")                              \
    S(f, "f")                                            \
    S(adapt_to_python3, "adapt_to_python3")              \
    S(py_vyi_strerror, "py_vyi_strerror")                \
    S(__test__, "__test__")                              \
    S(c_sdk, "c_sdk")                                    \
    S(encode, "encode")                                  \
    S(ascii, "ascii")                                    \
    S(decode, "decode")                                  \
    S(utf8, "utf8")                                      \
    S(debug, "debug")                                    \
    S(format, "format")                                  \
    S(uname, "uname")                                    \
    S(lower, "lower")                                    \
    S(windows, "windows")                                \
    S(linux, "linux")                                    \
    S(empty, "")                                         \
    S(fail_named, "invoke c fun={} error code={}, error info={}") \
    S(fail_unnamed, "invoke c fun error code={}, error info={}")  \
    S(callback_context, "c_sdk.callback_wrapper")        \
    S(get, "get")                                        \
    S(data, "data")                                      \
    S(__module__, "__module__")                          \
    S(__qualname__, "__qualname__")                      \
    S(__slots__, "__slots__")                            \
    S(__str__, "__str__")                                \
    S(__repr__, "__repr__")                              \
    S(__setattr__, "__setattr__")                        \
    S(self, "self")                                      \
    S(item, "item")                                      \
    S(value, "value")                                    \
    S(key, "key")                                        \
    S(__init__, "__init__")

/// Runs an initialisation once, whichever thread gets there first (on a
/// free-threaded build the others wait for it); a load and nothing more
/// after that.  A failed run is tried again at the next use.
class Once {
public:
    template <class F>
    bool run(F &&init) noexcept {
        if (done_.load(std::memory_order_acquire))
            return true;
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&lock_);
#endif
        bool ok = done_.load(std::memory_order_relaxed) || init();
        if (ok)
            done_.store(true, std::memory_order_release);
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&lock_);
#endif
        return ok;
    }

private:
    std::atomic<bool> done_{false};
#ifdef Py_GIL_DISABLED
    PyMutex lock_{};
#endif
};

struct Names {
#define CSDK_DECLARE_NAME_(id, text) PyObject *id;
    CSDK_INTERNED_STRINGS(CSDK_DECLARE_NAME_)
#undef CSDK_DECLARE_NAME_
};

struct State {
    // The one interpreter allowed to load us.  Atomic: interpreters with
    // their own GIL may run the create step at the same time.
    std::atomic<PyInterpreterState *> interp;
    PyObject *module;            // owned; set from step 2 of a successful exec on
    PyObject *dict;              // borrowed from module
    PyObject *builtins;          // owned: the builtins module's dict
};

extern State g_state;
extern Names g_names;

/// Interns the names once per process; -1 with an exception on failure.
int intern_names() noexcept;

/// Whether f is a one-argument built-in function (`METH_O`), which
/// call_meth_o() enters directly: the same C function the interpreter's call
/// would reach, without its dispatch.
inline bool is_meth_o(PyObject *f) noexcept { return PyCFunction_CheckExact(f) && PyCFunction_GET_FLAGS(f) == METH_O; }
inline PyObject *call_meth_o(PyObject *f, PyObject *arg) noexcept {
    return PyCFunction_GET_FUNCTION(f)(PyCFunction_GET_SELF(f), arg);
}

/// dict[name] as a new reference: nullptr with no error for a missing key,
/// nullptr with the error when the lookup fails.  A borrowed entry could be
/// freed by another thread on a free-threaded build before it is taken.
inline Ref dict_item(PyObject *dict, PyObject *name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *v;
    PyDict_GetItemRef(dict, name, &v);
    return Ref::steal(v);
#else
    return Ref::borrow(PyDict_GetItemWithError(dict, name));
#endif
}

/// The value of a module global: module dict, then builtins; empty with
/// NameError (or a lookup error) set.
inline Ref global(PyObject *name) noexcept {
    Ref v = dict_item(g_state.dict, name);
    if (v || PyErr_Occurred())
        return v;
    v = dict_item(g_state.builtins, name);
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

/// The truth of a module global (IS_PY2), looked up now: 1, 0, or -1 with
/// NameError or the truth test's exception set.
int global_truth(PyObject *name) noexcept;

// ---- the globals read on every call and event --------------------------------
//
// CSDK_OPERATE_SUCCESS (every response), IS_PY2 (every decorated call and
// event) and f (every event).  While the module namespace is unchanged a
// lookup would find the same objects, so the ones that are entries of the
// namespace itself are kept until it changes: up to 3.11 the dict's version
// tag tells, from 3.12 on a dict watcher.  Anything else (a fallback to the
// built-in names, a flag whose truth test runs Python code, a missing name)
// is looked up in full at each use.  Free-threaded builds look up every time.

struct HotGlobals {
    PyObject *success;  // borrowed from the namespace, or NULL: look it up
    PyObject *f;        // the same
    int is_py2;         // IS_PY2 when it is the namespace's own True or False, else -1
#if PY_VERSION_HEX >= 0x030C0000
    bool stale;         // set by the dict watcher
#else
    uint64_t version;   // the namespace's version tag when they were read
#endif
};
extern HotGlobals g_hot;

/// Whether g_hot still holds what a lookup would find.
inline bool hot_current() noexcept {
#ifdef Py_GIL_DISABLED
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    return !g_hot.stale;
#else
    return reinterpret_cast<PyDictObject *>(g_state.dict)->ma_version_tag == g_hot.version;
#endif
}

/// Reads the hot globals from the namespace again.
void refresh_hot_globals() noexcept;

/// CSDK_OPERATE_SUCCESS, looked up now (empty with an exception set).
inline Ref global_success() noexcept {
    if (hot_current() && g_hot.success)
        return Ref::borrow(g_hot.success);
    Ref v = global(g_names.CSDK_OPERATE_SUCCESS);
    if (v)
        refresh_hot_globals();
    return v;
}

/// The truth of IS_PY2, looked up now: 1, 0, or -1 with an exception.
inline int global_is_py2() noexcept {
    if (hot_current() && g_hot.is_py2 >= 0)
        return g_hot.is_py2;
    int t = global_truth(g_names.IS_PY2);
    if (t >= 0)
        refresh_hot_globals();
    return t;
}

/// f, looked up now (empty with an exception set).
inline Ref global_f() noexcept {
    if (hot_current() && g_hot.f)
        return Ref::borrow(g_hot.f);
    Ref v = global(g_names.f);
    if (v)
        refresh_hot_globals();
    return v;
}

/// Adds the traceback entry "c_sdk.<name>" (in file `filename`, line 1) to
/// the exception leaving a module function; the interpreter adds no frame
/// for a C function by itself.
void add_traceback(const char *qualified_name, const char *filename = "c_sdk.cpp") noexcept;


}  // namespace csdk

#endif  // CSDK_STATE_HPP
