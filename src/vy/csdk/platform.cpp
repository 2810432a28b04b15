// platform.cpp - is_windows() and is_linux(): platform.uname()[0].lower()
// compared with the system's name, queried on every call.
#include "bodies.hpp"
#include "state.hpp"

namespace csdk {
namespace {

PyObject *system_is(PyObject *expected) noexcept {
    Ref platform = global(g_names.platform);
    if (!platform)
        return nullptr;
    Ref uname = Ref::steal(PyObject_CallMethodObjArgs(platform.get(), g_names.uname, nullptr));
    if (!uname)
        return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref system = zero ? Ref::steal(PyObject_GetItem(uname.get(), zero.get())) : Ref();
    if (!system)
        return nullptr;
    Ref lowered = Ref::steal(PyObject_CallMethodObjArgs(system.get(), g_names.lower, nullptr));
    if (!lowered)
        return nullptr;
    return PyObject_RichCompare(lowered.get(), expected, Py_EQ);
}

}  // namespace

PyObject *is_windows(PyObject *const *) noexcept { return system_is(g_names.windows); }
PyObject *is_linux(PyObject *const *) noexcept { return system_is(g_names.linux); }

}  // namespace csdk
