// signature.cpp - builds inspect.Signature objects on demand.  They are made
// only when something asks (a __signature__ getter), never on a call path.
#include "signature.hpp"

#include "ref.hpp"

namespace csdk {
namespace {

/// inspect.Parameter(name, inspect.Parameter.<kind>)
Ref new_parameter(PyObject *parameter_type, const char *name, const char *kind) noexcept {
    Ref kind_value = Ref::steal(PyObject_GetAttrString(parameter_type, kind));
    Ref py_name = kind_value ? Ref::steal(PyUnicode_FromString(name)) : Ref();
    if (!py_name)
        return Ref();
    return Ref::steal(PyObject_CallFunctionObjArgs(parameter_type, py_name.get(), kind_value.get(), nullptr));
}

struct ParamSpec {
    const char *name;
    const char *kind;
};

/// inspect.Signature([Parameter(name, kind) for each spec])
PyObject *signature_of(const ParamSpec *specs, Py_ssize_t n) noexcept {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter_type = inspect ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter")) : Ref();
    Ref signature_type = parameter_type ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    Ref params = signature_type ? Ref::steal(PyList_New(n)) : Ref();
    if (!params)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref p = new_parameter(parameter_type.get(), specs[i].name, specs[i].kind);
        if (!p)
            return nullptr;
        PyList_SET_ITEM(params.get(), i, p.release());
    }
    return PyObject_CallOneArg(signature_type.get(), params.get());
}

}  // namespace

PyObject *make_signature(const char *const *params) noexcept {
    constexpr Py_ssize_t kMax = 16;
    ParamSpec specs[kMax];
    Py_ssize_t n = 0;
    for (; params[n]; ++n) {
        if (n == kMax) {
            PyErr_SetString(PyExc_SystemError, "too many parameters for a signature");
            return nullptr;
        }
        specs[n] = {params[n], "POSITIONAL_OR_KEYWORD"};
    }
    return signature_of(specs, n);
}

PyObject *make_varargs_signature() noexcept {
    const ParamSpec specs[] = {{"args", "VAR_POSITIONAL"}, {"kwargs", "VAR_KEYWORD"}};
    return signature_of(specs, 2);
}

}  // namespace csdk
