// status.cpp - the status predicates and the failure log line.
#include "bodies.hpp"
#include "state.hpp"

namespace csdk {

PyObject *c_status_ok(PyObject *const *objs) noexcept {
    Ref success = global_success();
    if (!success)
        return nullptr;
    return PyObject_RichCompare(objs[0], success.get(), Py_EQ);
}

PyObject *c_status_fail(PyObject *const *objs) noexcept {
    PyObject *status = objs[0];
    PyObject *cfunname = objs[1] ? objs[1] : g_names.empty;
    Ref success = global_success();
    if (!success)
        return nullptr;
    Ref isfail = Ref::steal(PyObject_RichCompare(status, success.get(), Py_NE));
    if (!isfail)
        return nullptr;
    int failed = PyObject_IsTrue(isfail.get());
    if (failed <= 0)
        return failed < 0 ? nullptr : isfail.release();

    // The SDK's text for the code, fetched through the module namespace.
    Ref strerror = global(g_names.py_vyi_strerror);
    if (!strerror)
        return nullptr;
    Ref text = Ref::steal(PyObject_CallOneArg(strerror.get(), status));
    if (!text)
        return nullptr;
    Ref errer_info = Ref::steal(PyObject_CallMethodOneArg(text.get(), g_names.decode, g_names.utf8));
    if (!errer_info)
        return nullptr;

    int named = PyObject_IsTrue(cfunname);
    if (named < 0)
        return nullptr;
    Ref logger = global(g_names.vysdklogger);
    if (!logger)
        return nullptr;
    Ref debug = Ref::steal(PyObject_GetAttr(logger.get(), g_names.debug));
    if (!debug)
        return nullptr;
    Ref message = named ? Ref::steal(PyObject_CallMethodObjArgs(g_names.fail_named, g_names.format, cfunname,
                                                                 status, errer_info.get(), nullptr))
                        : Ref::steal(PyObject_CallMethodObjArgs(g_names.fail_unnamed, g_names.format, status,
                                                                 errer_info.get(), nullptr));
    if (!message)
        return nullptr;
    Ref logged = Ref::steal(PyObject_CallOneArg(debug.get(), message.get()));
    if (!logged)
        return nullptr;
    return isfail.release();
}

}  // namespace csdk
