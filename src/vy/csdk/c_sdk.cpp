// c_sdk.cpp - module definition, the create and execution steps, and the
// guards that keep the module to one module object in one interpreter.
#include "module.hpp"
#include "state.hpp"
#include "table.hpp"

namespace csdk {
namespace {

// ---- create step ---------------------------------------------------------------

/// Copies spec.<attr> into the module's namespace as `to`, as the import
/// system's own module creation does.
int copy_spec_attr(PyObject *spec, PyObject *dict, const char *attr, const char *to, bool allow_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject *create(PyObject *spec, PyModuleDef *) noexcept {
    // The first interpreter to get here wins; a second one, even one running
    // at the same time under its own lock, sees the first and is refused.
    PyInterpreterState *interp = PyThreadState_GetInterpreter(PyThreadState_Get());
    PyInterpreterState *first = nullptr;
    if (!g_state.interp.compare_exchange_strong(first, interp) && first != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_state.module)
        return Ref::borrow(g_state.module).release();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// ---- execution step ----------------------------------------------------------

/// `import <name>`, bound under its own name.
int import_module(PyObject *dict, PyObject *name) noexcept {
    Ref m = Ref::steal(PyImport_ImportModuleLevelObject(name, dict, nullptr, nullptr, 0));
    return m ? PyDict_SetItem(dict, name, m.get()) : -1;
}

/// `from <module> import <name>`, bound under its own name.
int import_from(PyObject *dict, const char *module, PyObject *name) noexcept {
    Ref modname = Ref::steal(PyUnicode_FromString(module));
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    if (!modname || !fromlist)
        return -1;
    Ref m = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), dict, nullptr, fromlist.get(), 0));
    if (!m)
        return -1;
    Ref value = Ref::steal(PyObject_GetAttr(m.get(), name));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        return -1;
    }
    return PyDict_SetItem(dict, name, value.get());
}

/// f(arg).  A one-argument built-in function (adapt_to_python3 itself, unless
/// the global was rebound) is entered directly, as the interpreter's call
/// would reach it, without its dispatch: 59 calls at every import.
PyObject *call_one(PyObject *f, PyObject *arg) noexcept {
    return is_meth_o(f) ? call_meth_o(f, arg) : PyObject_CallOneArg(f, arg);
}

/// Binds every module-level function in table order; decorated rows are bound
/// to what the global adapt_to_python3 returns for the built-in function.
int register_functions(PyObject *module, PyObject *dict) noexcept {
    for (size_t i = 0; i < g_table_size; ++i) {
        TableEntry &row = g_table[i];
        Ref fn = Ref::steal(PyCFunction_NewEx(&row.def, module, g_names.c_sdk));
        if (!fn)
            return -1;
        if (row.decorated) {
            Ref adapt = global(g_names.adapt_to_python3);
            if (!adapt)
                return -1;
            fn = Ref::steal(call_one(adapt.get(), fn.get()));
            if (!fn)
                return -1;
        }
        if (PyDict_SetItemString(dict, row.def.ml_name, fn.get()) < 0)
            return -1;
    }
    return 0;
}

int run_steps(PyObject *module, PyObject *dict) noexcept {
    if (import_module(dict, g_names.functools) < 0 || import_module(dict, g_names.platform) < 0)
        return -1;
    if (import_from(dict, "vy.constant", g_names.CSDK_OPERATE_SUCCESS) < 0 ||
        import_from(dict, "vy.utils", g_names.vysdklogger) < 0)
        return -1;
    if (PyDict_SetItem(dict, g_names.IS_PY2, Py_False) < 0 || PyDict_SetItem(dict, g_names.IS_PY3, Py_True) < 0)
        return -1;
    if (add_record_classes(dict) < 0)
        return -1;
    if (register_functions(module, dict) < 0)
        return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(dict, g_names.__test__, test.get()) < 0)
        return -1;
    return add_direct_exports(dict);
}

/// Undoes step 2 after a failed execution: the record is cleared, and the
/// sys.modules entry goes too when this step put it there and it still holds
/// this module, so that a later import does not find the half-built module.
void forget_module(bool added_to_sys_modules) noexcept {
    Ref module = Ref::steal(g_state.module);
    g_state.module = nullptr;
    g_state.dict = nullptr;
    if (!added_to_sys_modules)
        return;
    Ref failure = fetch_exception();  // the failure being reported
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, g_names.c_sdk) == module.get())
        PyDict_DelItem(modules, g_names.c_sdk);
    PyErr_Clear();  // a failed lookup or removal must not hide the failure itself
    restore_exception(std::move(failure));
}

int exec(PyObject *module) noexcept {
    // Re-initialisation guard: the one module object stays for the process.
    if (g_state.module) {
        if (g_state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (intern_names() < 0)
        return -1;
    if (!g_state.builtins) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins)
            return -1;
        g_state.builtins = Ref::borrow(PyModule_GetDict(builtins.get())).release();
    }
    g_state.module = Ref::borrow(module).release();
    g_state.dict = PyModule_GetDict(module);

    PyObject *modules = PyImport_GetModuleDict();
    int known = PyDict_Contains(modules, g_names.c_sdk);
    bool added = false;
    if (known == 0) {
        if (PyDict_SetItem(modules, g_names.c_sdk, module) < 0)
            known = -1;
        else
            added = true;
    }
    if (known < 0 || run_steps(module, g_state.dict) < 0) {
        // A failed execution discards the record so a later import starts over.
        forget_module(added);
        return -1;
    }
    return 0;
}

// From 3.12 the interpreter refuses a module that declares nothing about
// sub-interpreters with a generic message before the create step runs.  The
// module declares that it may be loaded anywhere, so that the create step can
// refuse every interpreter but the first with its own ImportError.  On a
// free-threaded build it declares that it runs without the GIL: the library
// is kept single-entry by a lock of its own, and the shared state is safe.
PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create)},
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "c_sdk",      // m_name
    nullptr,      // m_doc
    0,            // m_size: no per-module state
    no_methods,   // every function is added by the execution step
    slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace csdk

PyMODINIT_FUNC PyInit_c_sdk(void) {
    return PyModuleDef_Init(&csdk::moduledef);
}
