// direct_exports.cpp - SDK functions published under their own names.
//
// Each export is a small callable holding one SDK function pointer and the
// descriptor of its C signature.  It looks like the closure `wrap` that a
// per-signature factory would return: __name__ "wrap", __module__
// "cfunc.to_py", __qualname__ "<factory>.<locals>.wrap", the factory's
// docstring, and it does not bind as a method.  All callables share one type;
// the per-signature code is one template instantiation per C signature.
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module.hpp"
#include "shapes.hpp"

namespace csdk {
namespace {

constexpr const char *kName = "wrap";
constexpr const char *kModule = "cfunc.to_py";
constexpr Py_ssize_t kMaxArity = 8;

/// The stored form of any SDK function pointer; cast back to its own type
/// (a round trip the language allows) by the signature that made it.
using SdkFn = void (*)();
/// What an export holds: its SDK function's lookup, looked up at the first
/// call (nullptr with the exception set when the library lacks it).
using FindSdkFn = SdkFn (*)() noexcept;

/// What one factory knows: its name, the docstring of what it makes, the
/// parameter names and the typed call.
struct Signature {
    const char *factory;
    const char *doc;
    Py_ssize_t arity;
    const char *const *params;
    PyObject *(*call)(FindSdkFn find, PyObject *const *objs) noexcept;
};

// ---- the factories: one per C signature --------------------------------------

/// Per-signature names.  Only signatures without parameters are shared by
/// several SDK functions, so the parameter names (and the docstring showing
/// them) can belong to the signature.  Each list ends in nullptr.
template <class F> struct Names;
#define CSDK_FACTORY(F, name, docstring, ...)                     \
    template <> struct Names<F> {                                 \
        static constexpr const char *factory = name;              \
        static constexpr const char *doc = docstring;             \
        static constexpr const char *params[] = {__VA_ARGS__};    \
    };
CSDK_FACTORY(void(const char *), "to_py_void__const_char_p",
             "wrap(topic: 'const char *') -> 'void'", "topic", nullptr)
CSDK_FACTORY(const char *(), "to_py_const_char_p", "wrap() -> 'const char *'", nullptr)
CSDK_FACTORY(int(), "to_py_int", "wrap() -> 'int'", nullptr)
CSDK_FACTORY(long long(), "to_py_long_long", "wrap() -> 'long long'", nullptr)
CSDK_FACTORY(double(), "to_py_double", "wrap() -> float", nullptr)
CSDK_FACTORY(int(const char *, const char *), "to_py_int__const_char_p__const_char_p",
             "wrap(topic: 'const char *', msg: 'const char *') -> 'int'", "topic", "msg", nullptr)
CSDK_FACTORY(void(const char *, const char *, const char *),
             "to_py_void__const_char_p__const_char_p__const_char_p",
             "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *') -> 'void'",
             "server_addr", "user_name", "password", nullptr)
CSDK_FACTORY(void(int, const char *, const char *, const char *, bool),
             "to_py_void__int__const_char_p__const_char_p__const_char_p__bool",
             "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', tlskey: 'const char *', "
             "skip_verify: 'bool') -> 'void'",
             "in_mode", "tlsca", "tlscert", "tlskey", "skip_verify", nullptr)
CSDK_FACTORY(void(int), "to_py_void__int", "wrap(mode: 'int') -> 'void'", "mode", nullptr)
CSDK_FACTORY(const char *(int), "to_py_const_char_p__int", "wrap(errorno: 'int') -> 'const char *'",
             "errorno", nullptr)
#undef CSDK_FACTORY

/// The value by which a C result may signal a pending exception.
template <class R> constexpr R kErrorValue = static_cast<R>(-1);
template <> constexpr const char *kErrorValue<const char *> = nullptr;

inline PyObject *to_py(int v) noexcept { return PyLong_FromLong(v); }
inline PyObject *to_py(long long v) noexcept { return PyLong_FromLongLong(v); }
inline PyObject *to_py(double v) noexcept { return PyFloat_FromDouble(v); }
// Copied at once: the library's text is only valid until its next call.
inline PyObject *to_py(const char *v) noexcept { return text_result(v); }

/// Calls the SDK function once, with the interpreter lock held, inside a
/// LibraryCall scope.  Python code run inside the call (events) may leave an
/// exception pending: a void call always raises it, a valued call only when
/// its result is the error value.
template <class R, class Fn>
PyObject *call_library(Fn &&fn) noexcept {
    LibraryCall call;
    if constexpr (std::is_void_v<R>) {
        call(fn);
        if (PyErr_Occurred())
            return call.finish(nullptr);
        return call.finish(Ref::borrow(Py_None).release());
    } else {
        R r = call(fn);
        if (r == kErrorValue<R> && PyErr_Occurred())
            return call.finish(nullptr);
        return call.finish(to_py(r));
    }
}

template <class F> struct Factory;
template <class R, class... A>
struct Factory<R(A...)> {
    using N = Names<R(A...)>;
    static_assert(std::size(N::params) == sizeof...(A) + 1, "one parameter name per C parameter");
    static_assert(sizeof...(A) <= kMaxArity, "raise kMaxArity");

    template <size_t... I>
    static PyObject *invoke(FindSdkFn find, PyObject *const *objs, std::index_sequence<I...> idx) noexcept {
        // The converters live until the result is built: a bytearray stays
        // locked against resizing for the whole library call.
        std::tuple<typename ArgFor<A>::type...> conv;
        if (!convert_all(conv, objs, idx))
            return nullptr;
        auto fn = reinterpret_cast<R (*)(A...)>(find());
        if (!fn)
            return nullptr;
        return call_library<R>([&] { return fn(std::get<I>(conv).value()...); });
    }
    static PyObject *call(FindSdkFn find, PyObject *const *objs) noexcept {
        return invoke(find, objs, std::index_sequence_for<A...>{});
    }
    static constexpr Signature sig{N::factory, N::doc, static_cast<Py_ssize_t>(sizeof...(A)), N::params, call};

    /// The factory: a new callable for the function `find` gives at each call.
    static PyObject *make(FindSdkFn find) noexcept;
};

// ---- the callable type -------------------------------------------------------

struct Export {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature *sig;
    FindSdkFn find;
    PyObject *weakrefs;  // weak references accepted, as by a function
};

/// Index of the parameter a keyword names, or -1.
Py_ssize_t param_index(const Signature &s, PyObject *key) noexcept {
    for (Py_ssize_t j = 0; j < s.arity; ++j)
        if (PyUnicode_CompareWithASCIIString(key, s.params[j]) == 0)
            return j;
    return -1;
}

/// Index in kwnames of the first keyword naming `param`, or -1.
Py_ssize_t find_keyword(PyObject *kwnames, Py_ssize_t nkw, const char *param) noexcept {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, param) == 0)
            return k;
    }
    return -1;
}

/// Two or more parameters, each by position or by name, all required.
int bind_several(const Signature &s, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                 PyObject **objs) noexcept {
    const Py_ssize_t n = s.arity;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    // A keyword that is not a string is refused before anything else, as a
    // Python function refuses it.
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k))) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", kName);
            return -1;
        }
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", kName,
                     "exactly", n, "s", nargs);
        return -1;
    }
    Py_ssize_t from_kw[kMaxArity];  // the keyword each parameter came from; -1 by position
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        objs[i] = args[i];
        from_kw[i] = -1;
    }
    for (Py_ssize_t i = nargs; i < n; ++i) {
        Py_ssize_t k = find_keyword(kwnames, nkw, s.params[i]);
        if (k < 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", kName,
                         "exactly", n, "s", i);
            return -1;
        }
        objs[i] = args[nargs + k];
        from_kw[i] = k;
    }
    if (nkw == n - nargs)
        return 0;  // distinct parameters took distinct keywords: none left over
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = param_index(s, key);
        if (j >= 0 && from_kw[j] == k)
            continue;
        if (j >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", kName, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", kName, key);
        return -1;
    }
    return 0;
}

/// Exports without parameters or with one: keywords are refused before the
/// count is checked, in the interpreter's own order for such built-ins.
int bind_args(const Signature &s, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
              PyObject **objs) noexcept {
    if (s.arity > 1)
        return bind_several(s, args, nargs, kwnames, objs);
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", kName);
        return -1;
    }
    if (s.arity == 0 && nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", kName, nargs);
        return -1;
    }
    if (s.arity == 1) {
        if (nargs != 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", kName, nargs);
            return -1;
        }
        objs[0] = args[0];
    }
    return 0;
}

/// The interpreter adds no frame for a C callable: an exception leaving an
/// export gets "cfunc.to_py.<factory>.wrap" instead.
void add_export_traceback(const Signature &s) noexcept {
    char name[160];
    std::snprintf(name, sizeof name, "%s.%s.%s", kModule, s.factory, kName);
    add_traceback(name, kModule);
}

/// A result other than the error value comes back even with an exception
/// pending.  The interpreter checks for that on some call paths only (not for
/// f(*args)), so the same check is made here for all of them: SystemError,
/// caused by the pending exception, instead of a result with an error set.
PyObject *refuse_result_with_error(PyObject *self, PyObject *result) noexcept {
    Ref dropped = Ref::steal(result);
    Ref cause = fetch_exception();
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", self);
    Ref error = fetch_exception();
    if (error && cause) {
        PyException_SetCause(error.get(), Ref::borrow(cause.get()).release());  // both steal
        PyException_SetContext(error.get(), cause.release());
    }
    restore_exception(std::move(error));
    return nullptr;
}

PyObject *export_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    const Export *e = reinterpret_cast<Export *>(self);
    const Signature &s = *e->sig;
    PyObject *objs[kMaxArity];
    PyObject *result = nullptr;
    if (bind_args(s, args, PyVectorcall_NARGS(nargsf), kwnames, objs) == 0)
        result = s.call(e->find, objs);
    if (result && PyErr_Occurred())
        result = refuse_result_with_error(self, result);
    if (!result)
        add_export_traceback(s);
    return result;
}

/// A call with a keyword dict (f(**kw), PyObject_Call).  The exports with
/// several parameters take this path for every keyword call, because they
/// have no vectorcall: the interpreter's own unpacking would refuse a
/// non-string keyword with its message before the export could give its own.
PyObject *export_call_dict(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *const *pos = &PyTuple_GET_ITEM(args, 0);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
        return export_call(self, pos, static_cast<size_t>(nargs), nullptr);
    // A copy of the caller's dict, walked alone: a conversion run during the
    // call, or another thread, may change the caller's.  Keys and values
    // are held by the two tuples.
    Ref copy = Ref::steal(PyDict_Copy(kwargs));
    if (!copy)
        return nullptr;
    const Py_ssize_t nkw = PyDict_GET_SIZE(copy.get());
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    Ref values = Ref::steal(PyTuple_New(nkw));
    PyObject **stack = static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(nargs + nkw) * sizeof(PyObject *)));
    PyObject *result = nullptr;
    if (kwnames && values && stack) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            stack[i] = pos[i];
        Py_ssize_t pos_in_dict = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(copy.get(), &pos_in_dict, &key, &value) && k < nkw) {
            PyTuple_SET_ITEM(kwnames.get(), k, Ref::borrow(key).release());
            PyTuple_SET_ITEM(values.get(), k, Ref::borrow(value).release());
            stack[nargs + k++] = value;
        }
        result = export_call(self, stack, static_cast<size_t>(nargs), kwnames.get());
    } else if (kwnames && values) {
        PyErr_NoMemory();
    }
    PyMem_Free(stack);
    return result;
}

void export_dealloc(PyObject *self) noexcept {
    if (reinterpret_cast<Export *>(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject *export_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %s.<locals>.%s at %p>", reinterpret_cast<Export *>(self)->sig->factory,
                                kName, self);
}

PyObject *get_name(PyObject *, void *) noexcept { return PyUnicode_FromString(kName); }
PyObject *get_qualname(PyObject *self, void *) noexcept {
    return PyUnicode_FromFormat("%s.<locals>.%s", reinterpret_cast<Export *>(self)->sig->factory, kName);
}
PyObject *get_module(PyObject *, void *) noexcept { return PyUnicode_FromString(kModule); }
PyObject *get_doc(PyObject *self, void *) noexcept { return PyUnicode_FromString(reinterpret_cast<Export *>(self)->sig->doc); }

/// Copied and pickled as a closure is: by reference, under its qualified
/// name (which pickle cannot reach, as for any closure); copy and deepcopy
/// give the object itself.
PyObject *export_reduce(PyObject *self, PyObject *) noexcept { return get_qualname(self, nullptr); }

PyMethodDef export_methods[] = {
    {"__reduce__", export_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef export_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// No tp_descr_get: stored on a class it stays a plain callable.  No tp_new:
// only the factories make instances.  No GC: an instance holds no objects.
PyTypeObject ExportType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "c_sdk.direct_export";
    t.tp_basicsize = sizeof(Export);
    t.tp_dealloc = export_dealloc;
    t.tp_vectorcall_offset = offsetof(Export, vectorcall);
    t.tp_repr = export_repr;
    t.tp_call = export_call_dict;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_getset = export_getset;
    t.tp_methods = export_methods;
    t.tp_weaklistoffset = offsetof(Export, weakrefs);
    return t;
}();

template <class R, class... A>
PyObject *Factory<R(A...)>::make(FindSdkFn find) noexcept {
    Export *e = PyObject_New(Export, &ExportType);
    if (!e)
        return nullptr;
    // Several parameters: no vectorcall, so that every keyword call reaches
    // export_call_dict with the keywords as the caller gave them.
    e->vectorcall = sizeof...(A) > 1 ? nullptr : export_call;
    e->sig = &sig;
    e->find = find;
    e->weakrefs = nullptr;
    return reinterpret_cast<PyObject *>(e);
}

/// One row per export, in the order they are bound.
struct Row {
    const char *name;
    PyObject *(*make)() noexcept;
};
template <class Fn>
SdkFn find_sdk_fn() noexcept {
    return reinterpret_cast<SdkFn>(Fn::get());
}
template <class Fn>
PyObject *make_export() noexcept {
    return Factory<std::remove_pointer_t<typename Fn::Ptr>>::make(find_sdk_fn<Fn>);
}
#define CSDK_EXPORT(fn) {#fn, make_export<CSDK_SDK(fn)>}
constexpr Row kRows[] = {
    CSDK_EXPORT(vyi_add_bus_topic),
    CSDK_EXPORT(vyi_get_c_version),
    CSDK_EXPORT(vyi_get_encrypted_token),
    CSDK_EXPORT(vyi_get_ext_errormsg),
    CSDK_EXPORT(vyi_get_orgcode),
    CSDK_EXPORT(vyi_init),
    CSDK_EXPORT(vyi_now),
    CSDK_EXPORT(vyi_now_plus),
    CSDK_EXPORT(vyi_poll),
    CSDK_EXPORT(vyi_send_msg_to_bus),
    CSDK_EXPORT(vyi_set_bus_info),
    CSDK_EXPORT(vyi_set_bus_secure),
    CSDK_EXPORT(vyi_set_mode),
    CSDK_EXPORT(vyi_strerror),
};
#undef CSDK_EXPORT

}  // namespace

int add_direct_exports(PyObject *dict) noexcept {
    if (!(ExportType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&ExportType) < 0)
        return -1;
    for (const Row &row : kRows) {
        Ref fn = Ref::steal(row.make());
        if (!fn || PyDict_SetItemString(dict, row.name, fn.get()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace csdk
