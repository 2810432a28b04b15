// decorator.cpp - adapt_to_python3 and its wrapper.
//
// The wrapper is a C++ callable with vectorcall that looks like the closure a
// Python decorator would return: __name__ "wrapper", __qualname__
// "adapt_to_python3.<locals>.wrapper", no docstring, no __wrapped__, a
// __closure__ whose one cell holds func (read at every call, as a closure
// reads its free variable), the signature (*args, **kwargs), and it binds as
// a method like a function.  A call without str arguments is forwarded as it
// came, with no allocation.
#include <cstddef>
#include <utility>

#include "bodies.hpp"
#include "convert.hpp"
#include "signature.hpp"
#include "state.hpp"
#include "table.hpp"

namespace csdk {
namespace {

// func, the one free variable, is held by the wrapper itself until
// __closure__ is first asked for, and from then on by the cell, which the
// wrapper reads at every call: the 59 wrappers made at import need no cell
// and no tuple each.  On a free-threaded build the closure is made at once,
// so that nothing changes under a call running on another thread.
struct Wrapper {
    PyObject_HEAD
    PyObject *func;     // owned, until the closure is made
    PyObject *cell;     // borrowed from closure
    PyObject *closure;  // (cell,), or NULL until asked for
    vectorcallfunc vectorcall;
    PyObject *weakrefs;  // weak references accepted, as by a function
};

#ifndef Py_GIL_DISABLED
/// The free variable's value, borrowed (NULL for an emptied cell).
inline PyObject *func_of(const Wrapper *w) noexcept { return w->cell ? PyCell_GET(w->cell) : w->func; }
#endif

/// Moves func into a new cell, the closure's one item.
int make_closure(Wrapper *w) noexcept {
    Ref cell = Ref::steal(PyCell_New(w->func));
    Ref closure = Ref::steal(cell ? PyTuple_Pack(1, cell.get()) : nullptr);
    if (!closure)
        return -1;
    w->cell = cell.get();
    w->closure = closure.release();
    Py_CLEAR(w->func);
    return 0;
}

/// The free variable func, with a reference for the length of the call: the
/// cell may be rebound by code the call runs.  NameError when it is empty,
/// in the interpreter's own words for an unbound free variable.
Ref free_func(PyObject *self) noexcept {
    const Wrapper *w = reinterpret_cast<const Wrapper *>(self);
#ifdef Py_GIL_DISABLED
    // Another thread may set the cell meanwhile.
    Ref func = w->cell ? Ref::steal(PyCell_Get(w->cell)) : Ref();
#else
    Ref func = Ref::borrow(func_of(w));
#endif
    if (!func)
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetString(PyExc_NameError, "cannot access free variable 'func' where it is not associated with a "
                                         "value in enclosing scope");
#else
        PyErr_SetString(PyExc_NameError, "free variable 'func' referenced before assignment in enclosing scope");
#endif
    return func;
}

constexpr const char *kTracebackName = "c_sdk.adapt_to_python3.wrapper";
constexpr Py_ssize_t kStackArgs = 16;

/// An exact str of ASCII characters only: one byte per character, which
/// are the bytes its "encode" with "ascii" gives.
inline bool is_ascii_exact(PyObject *s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_CheckExact(s) && PyUnicode_IS_READY(s) && PyUnicode_IS_ASCII(s);
#else
    return PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s);
#endif
}

/// str (or subclass) -> its "encode" called with "ascii".  For an exact str
/// that is the codec itself, with the same result and the same error.
PyObject *encode_ascii(PyObject *s) noexcept {
    if (PyUnicode_CheckExact(s)) {
        if (is_ascii_exact(s))
            // Its characters are its ASCII bytes: copied as they are.
            return PyBytes_FromStringAndSize(static_cast<const char *>(PyUnicode_DATA(s)), PyUnicode_GET_LENGTH(s));
        return PyUnicode_AsASCIIString(s);
    }
    return PyObject_CallMethodOneArg(s, g_names.encode, g_names.ascii);
}

/// The argument vector handed on after conversion: borrowed entries before
/// the first str, owned ones from there on, released together.
class ConvertedArgs {
public:
    ConvertedArgs(PyObject *const *args, Py_ssize_t total, Py_ssize_t first_owned) noexcept
        : total_(total), first_owned_(first_owned), filled_(first_owned) {
        if (total > kStackArgs)
            buf_ = static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(total + 1) * sizeof(PyObject *)));
        if (buf_)
            for (Py_ssize_t i = 0; i < first_owned; ++i)
                buf_[i + 1] = args[i];
    }
    ConvertedArgs(const ConvertedArgs &) = delete;
    ConvertedArgs &operator=(const ConvertedArgs &) = delete;
    ~ConvertedArgs() {
        if (!buf_)
            return;
        for (Py_ssize_t i = first_owned_; i < filled_; ++i)
            Ref::steal(buf_[i + 1]).reset();
        if (buf_ != stack_)
            PyMem_Free(buf_);
    }
    bool ok() const noexcept { return buf_ != nullptr; }
    void push(Ref value) noexcept { buf_[1 + filled_++] = value.release(); }
    /// One spare slot in front lets the callee use PY_VECTORCALL_ARGUMENTS_OFFSET.
    PyObject *const *vector() const noexcept { return buf_ + 1; }

private:
    PyObject *stack_[kStackArgs + 1];
    PyObject **buf_ = stack_;
    Py_ssize_t total_, first_owned_, filled_;
};

/// Calls func with the arguments as they came.  The module's own one-argument
/// built-ins, the common case, are entered directly: the same C function the
/// interpreter's call would reach, without a second dispatch.
PyObject *forward(PyObject *func, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    if (!kwnames && PyVectorcall_NARGS(nargsf) == 1 && is_meth_o(func))
        return call_meth_o(func, args[0]);
    return PyObject_Vectorcall(func, args, nargsf, kwnames);
}

/// Positional arguments first, then keyword values, each str ASCII-encoded;
/// the first failure stops before func is called.
PyObject *call_converted(PyObject *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         Py_ssize_t total, Py_ssize_t first_str) noexcept {
    if (total == 1) {
        // One argument, the common case: no vector to build.
        Ref value = Ref::steal(encode_ascii(args[0]));
        if (!value)
            return nullptr;
        PyObject *argv[2] = {nullptr, value.get()};
        return forward(func, argv + 1, static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    }
    ConvertedArgs out(args, total, first_str);
    if (!out.ok())
        return PyErr_NoMemory();
    for (Py_ssize_t i = first_str; i < total; ++i) {
        Ref value = PyUnicode_Check(args[i]) ? Ref::steal(encode_ascii(args[i])) : Ref::borrow(args[i]);
        if (!value)
            return nullptr;
        out.push(std::move(value));
    }
    return PyObject_Vectorcall(func, out.vector(), static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               kwnames);
}

__attribute__((noinline)) PyObject *wrapper_call_full(PyObject *self, PyObject *const *args, size_t nargsf,
                                                      PyObject *kwnames) noexcept {
    PyObject *result = nullptr;
    Ref func;
    int passthrough = global_is_py2();
    if (passthrough >= 0 && (func = free_func(self))) {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        Py_ssize_t first_str = total;
        if (!passthrough) {
            for (Py_ssize_t i = 0; i < total; ++i)
                if (PyUnicode_Check(args[i])) {
                    first_str = i;
                    break;
                }
        }
        result = first_str == total ? forward(func.get(), args, nargsf, kwnames)
                                    : call_converted(func.get(), args, nargs, kwnames, total, first_str);
    }
    if (!result)
        add_traceback(kTracebackName);
    return result;
}

/// The call a strategy makes again and again, one positional argument to one
/// of the module's own one-argument built-ins with IS_PY2 known, in a
/// function small enough to keep almost nothing on the stack; every other
/// call, and every failure, goes on to the full path above, which does the
/// same work again from the start (nothing has run yet when it is left).
PyObject *wrapper_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
#ifndef Py_GIL_DISABLED  // there the cell is read with a reference, and IS_PY2 looked up
    if (!kwnames && PyVectorcall_NARGS(nargsf) == 1 && hot_current() && g_hot.is_py2 >= 0) {
        PyObject *func = func_of(reinterpret_cast<Wrapper *>(self));
        if (func && is_meth_o(func)) {
            PyObject *arg = args[0];
            Ref keep = Ref::borrow(func);  // the call may make the closure, or rebind the cell
            PyObject *result;
            if (g_hot.is_py2 || !PyUnicode_Check(arg)) {
                result = call_meth_o(func, arg);
            } else if (is_ascii_exact(arg) && is_request_function(func)) {
                // Its characters are the bytes encode() would make: the
                // request is taken from the str itself (convert.hpp).
                g_ascii_request = arg;
                result = call_meth_o(func, arg);
                g_ascii_request = nullptr;
            } else {
                Ref value = Ref::steal(encode_ascii(arg));
                result = value ? call_meth_o(func, value.get()) : nullptr;
            }
            if (!result)
                add_traceback(kTracebackName);
            return result;
        }
    }
#endif
    return wrapper_call_full(self, args, nargsf, kwnames);
}

int wrapper_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<Wrapper *>(self)->func);
    Py_VISIT(reinterpret_cast<Wrapper *>(self)->closure);
    return 0;
}

int wrapper_clear(PyObject *self) {
    Wrapper *w = reinterpret_cast<Wrapper *>(self);
    w->cell = nullptr;
    Py_CLEAR(w->closure);
    Py_CLEAR(w->func);
    return 0;
}

void wrapper_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Wrapper *>(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    wrapper_clear(self);
    PyObject_GC_Del(self);
}

/// Binds as a method, like a function stored on a class.
PyObject *wrapper_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject *wrapper_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function adapt_to_python3.<locals>.wrapper at %p>", self);
}

PyObject *get_name(PyObject *, void *) { return PyUnicode_FromString("wrapper"); }
PyObject *get_qualname(PyObject *, void *) { return PyUnicode_FromString("adapt_to_python3.<locals>.wrapper"); }
PyObject *get_module(PyObject *, void *) { return Ref::borrow(g_names.c_sdk).release(); }
PyObject *get_doc(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_closure(PyObject *self, void *) {
    Wrapper *w = reinterpret_cast<Wrapper *>(self);
#ifndef Py_GIL_DISABLED
    if (!w->closure && make_closure(w) < 0)
        return nullptr;
#endif
    return Ref::borrow(w->closure ? w->closure : Py_None).release();
}

/// inspect.signature() reads this: (*args, **kwargs), built when asked.
PyObject *get_signature(PyObject *, void *) { return make_varargs_signature(); }

/// Copied and pickled as a closure is: by reference, under its qualified
/// name (which pickle cannot reach, as for any closure); copy and deepcopy
/// give the object itself.
PyObject *wrapper_reduce(PyObject *self, PyObject *) { return get_qualname(self, nullptr); }

PyMethodDef wrapper_methods[] = {
    {"__reduce__", wrapper_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef wrapper_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject WrapperType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "c_sdk.wrapper";
    t.tp_basicsize = sizeof(Wrapper);
    t.tp_dealloc = wrapper_dealloc;
    t.tp_vectorcall_offset = offsetof(Wrapper, vectorcall);
    t.tp_repr = wrapper_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = wrapper_traverse;
    t.tp_clear = wrapper_clear;
    t.tp_getset = wrapper_getset;
    t.tp_methods = wrapper_methods;
    t.tp_weaklistoffset = offsetof(Wrapper, weakrefs);
    t.tp_descr_get = wrapper_get;
    return t;
}();

}  // namespace

PyObject *adapt_to_python3(PyObject *const *objs) noexcept {
    if (!(WrapperType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&WrapperType) < 0)
        return nullptr;
    Wrapper *w = PyObject_GC_New(Wrapper, &WrapperType);
    if (!w)
        return nullptr;
    w->func = Ref::borrow(objs[0]).release();
    w->cell = w->closure = nullptr;
    w->vectorcall = wrapper_call;
    w->weakrefs = nullptr;
#ifdef Py_GIL_DISABLED
    if (make_closure(w) < 0) {
        Ref::steal(reinterpret_cast<PyObject *>(w)).reset();
        return nullptr;
    }
#endif
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

}  // namespace csdk
