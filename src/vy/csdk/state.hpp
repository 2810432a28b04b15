// state.hpp - the module's process-wide record and its interned names.
//
// The module keeps no per-module state: one process, one interpreter, one
// module object.  Names used as globals are interned once; their values are
// looked up in the module dict, then the builtins dict, at every use, so
// rebinding an attribute of c_sdk changes later calls.
#ifndef CSDK_STATE_HPP
#define CSDK_STATE_HPP

#include <atomic>

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
    S(setter, "setter")                                  \
    S(self, "self")                                      \
    S(item, "item")                                      \
    S(value, "value")                                    \
    S(key, "key")                                        \
    S(__init__, "__init__")

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

/// The value of a module global: module dict, then builtins.  Borrowed;
/// nullptr with NameError (or a lookup error) set.  Callers that run Python
/// code while using the value must take their own reference first.
inline PyObject *global(PyObject *name) noexcept {
    PyObject *v = PyDict_GetItemWithError(g_state.dict, name);
    if (v || PyErr_Occurred())
        return v;
    v = PyDict_GetItemWithError(g_state.builtins, name);
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

/// Adds the traceback entry "c_sdk.<name>" (in file `filename`, line 1) to
/// the exception leaving a module function; the interpreter adds no frame
/// for a C function by itself.
void add_traceback(const char *qualified_name, const char *filename = "c_sdk.cpp") noexcept;

/// The truth of a module global (IS_PY2), looked up now: 1, 0, or -1 with
/// NameError or the truth test's exception set.
int global_truth(PyObject *name) noexcept;

}  // namespace csdk

#endif  // CSDK_STATE_HPP
