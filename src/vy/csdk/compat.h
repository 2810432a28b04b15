// compat.h - backports of newer C-API names, so the module builds on 3.8+.
// Every shim is made of what that version's own headers declare; nothing of
// the interpreter is declared here.
//
// Private functions the module still calls, where the interpreter offers no
// public one, with the versions whose headers declare them (the linkage test
// reads these lines):
//   private: _PyType_Lookup 3.8-3.13  (a type's attribute through the MRO and its cache, no descriptor call)
//   private: _PyObject_GenericGetAttrWithDict 3.8-3.12  (generic lookup that keeps a plain miss silent)
//   private: _PyThreadState_UncheckedGet 3.8-3.12  (the attached thread state or NULL; public from 3.13)
//   private: _PyObject_MakeTpCall 3.8-3.8  (inside _PyObject_Vectorcall, 3.8's only vectorcall call)
//   private: _Py_CheckFunctionResult 3.8-3.8  (the same)
#ifndef CSDK_COMPAT_H
#define CSDK_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Python 3.9 made the vectorcall names public; 3.8 has them with a leading underscore.
#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

// Python 3.9 added PyObject_CallOneArg() and PyObject_CallMethodOneArg().
#if PY_VERSION_HEX < 0x03090000
static inline PyObject *PyObject_CallOneArg(PyObject *func, PyObject *arg) {
    return _PyObject_Vectorcall(func, &arg, 1, NULL);
}
static inline PyObject *PyObject_CallMethodOneArg(PyObject *self, PyObject *name, PyObject *arg) {
    return PyObject_CallMethodObjArgs(self, name, arg, NULL);
}
#endif

// Before 3.9 PyMODINIT_FUNC does not make the init function visible, and the
// module is built with hidden visibility.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// Python 3.9 added PyCFunction_CheckExact(); 3.8 has only the exact test under
// the older name.
#if PY_VERSION_HEX < 0x03090000
#define PyCFunction_CheckExact(op) (Py_TYPE(op) == &PyCFunction_Type)
#endif

// Python 3.9 added PyThreadState_GetInterpreter().
#if PY_VERSION_HEX < 0x03090000
static inline PyInterpreterState *PyThreadState_GetInterpreter(PyThreadState *ts) { return ts->interp; }
#endif

// The thread state attached to the calling thread, or NULL, without the
// fatal error PyThreadState_Get() gives for none.  Public from 3.13; up to
// 3.12 only the underscored name is declared (3.8 to 3.12 headers).
#if PY_VERSION_HEX >= 0x030D0000
#define csdk_current_thread_state PyThreadState_GetUnchecked
#else
#define csdk_current_thread_state _PyThreadState_UncheckedGet
#endif

// Python 3.13 added critical sections (no-ops with the GIL).
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

// Generic attribute lookup that reports a plain miss as NULL without an
// exception.  Up to 3.12 the interpreter's own suppressing variant is public;
// later versions take the generic lookup and drop its AttributeError.
static inline PyObject *csdk_generic_getattr_or_null(PyObject *obj, PyObject *name) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyObject_GenericGetAttrWithDict(obj, name, NULL, 1);
#else
    PyObject *res = PyObject_GenericGetAttr(obj, name);
    if (!res && PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Clear();
    return res;
#endif
}

#endif  // CSDK_COMPAT_H
