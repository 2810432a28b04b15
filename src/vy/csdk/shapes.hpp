// shapes.hpp - one function template per calling shape.
//
// A row of the registration table names a shape and its SDK function; the
// shape owns argument parsing, conversion and the result, so each module
// function is one instantiation, not a hand-written body.  The calling
// convention follows the parameter count: none -> METH_NOARGS, one -> METH_O,
// more -> METH_VARARGS | METH_KEYWORDS parsed by the interpreter, so arity and
// keyword errors are the interpreter's own.
#ifndef CSDK_SHAPES_HPP
#define CSDK_SHAPES_HPP

#include <cassert>
#include <cstdio>
#include <tuple>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "state.hpp"

namespace csdk {

constexpr int kMaxParams = 12;

/// What a table row tells its shape: the Python name (for messages), the
/// traceback entry and the parameter names (the keyword list).
struct Spec {
    const char *name;
    const char *traceback_name;          // "c_sdk.<name>"
    const char *libfn;                   // the SDK function, for error messages
    const char *doc;                     // docstring, NULL for none
    int required;                        // parameters without default; -1: all
    const char *params[kMaxParams + 1];  // NULL-terminated
};

constexpr int param_count(const Spec &s) {
    int n = 0;
    while (n < kMaxParams && s.params[n])
        ++n;
    return n;
}

/// Error invariant at every exit: NULL if and only if an exception is set;
/// an exception leaving the function gets its traceback entry.
inline PyObject *leave(const Spec &s, PyObject *result) noexcept {
    assert((result == nullptr) == (PyErr_Occurred() != nullptr));
    if (!result)
        add_traceback(s.traceback_name);
    return result;
}

/// Parses N >= 2 arguments, by position or keyword, into objs; parameters
/// past S.required are optional and stay NULL when not given.
template <const Spec &S, size_t N, size_t... I>
bool parse_args(PyObject *args, PyObject *kwargs, PyObject *(&objs)[N], std::index_sequence<I...>) noexcept {
    static_assert(N >= 2 && N <= kMaxParams, "the interpreter parses two or more parameters");
    static char format[kMaxParams + 96];  // "OO|O:name", built on first use
    if (!format[0]) {
        char *p = format;
        for (size_t i = 0; i < N; ++i) {
            if (S.required >= 0 && i == static_cast<size_t>(S.required))
                *p++ = '|';
            *p++ = 'O';
        }
        std::snprintf(p, sizeof format - static_cast<size_t>(p - format), ":%s", S.name);
    }
    ((objs[I] = nullptr), ...);
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(S.params), &objs[I]...);
}

/// Builds the table's calling convention from a body taking (PyObject *const *objs).
template <const Spec &S, int N, PyObject *(*Body)(PyObject *const *)>
struct Convention {
    static_assert(param_count(S) == N, "the row's parameter names must match the C signature");
    static constexpr int flags = N == 0 ? METH_NOARGS : N == 1 ? METH_O : METH_VARARGS | METH_KEYWORDS;

    static PyObject *noargs(PyObject *, PyObject *) noexcept { return leave(S, Body(nullptr)); }
    static PyObject *onearg(PyObject *, PyObject *o) noexcept { return leave(S, Body(&o)); }
    static PyObject *varargs(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
        PyObject *objs[N];
        if (!parse_args<S>(args, kwargs, objs, std::make_index_sequence<N>{}))
            return leave(S, nullptr);
        return leave(S, Body(objs));
    }
    static PyCFunction method() noexcept {
        if constexpr (N == 0)
            return noargs;
        else if constexpr (N == 1)
            return onearg;
        else
            return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(varargs));
    }
};

// ---- converters and results by C type -------------------------------------

template <class T> struct ArgFor;
template <> struct ArgFor<const char *> { using type = TextArg; };
template <> struct ArgFor<int> { using type = IntArg; };
template <> struct ArgFor<double> { using type = DoubleArg; };
template <> struct ArgFor<bool> { using type = BoolArg; };

/// Converts objs into the tuple of converters in parameter order; the first
/// failure stops (the fold over && short-circuits left to right).
template <class Tuple, size_t... I>
bool convert_all(Tuple &conv, PyObject *const *objs, std::index_sequence<I...>) noexcept {
    (void)objs;
    return ((std::get<I>(conv).set(objs[I]) == 0) && ...);
}

template <class R> struct ResultOf;
template <> struct ResultOf<void> {
    template <class F> static PyObject *make(F &&call) noexcept { call(); Py_RETURN_NONE; }
};
template <> struct ResultOf<int> {
    template <class F> static PyObject *make(F &&call) noexcept { return PyLong_FromLong(call()); }
};
template <> struct ResultOf<long long> {
    template <class F> static PyObject *make(F &&call) noexcept { return PyLong_FromLongLong(call()); }
};
template <> struct ResultOf<double> {
    template <class F> static PyObject *make(F &&call) noexcept { return PyFloat_FromDouble(call()); }
};
template <> struct ResultOf<const char *> {
    // The library's text is copied at once; a NULL is never dereferenced.
    template <class F> static PyObject *make(F &&call) noexcept { return text_result(call()); }
};

// ---- the shapes --------------------------------------------------------------

/// Serialized query: int f(void *req, int req_len, void **res, int *res_len)
/// -> (status, bytes) or (status, None).
template <const Spec &S, int (*Fn)(void *, int, void **, int *)>
struct Query {
    static PyObject *body(PyObject *const *objs) noexcept {
        RequestArg req;
        if (req.set(objs[0]) < 0)
            return nullptr;
        void *res = nullptr;
        int res_len = 0;
        int status = Fn(req.data(), req.size(), &res, &res_len);
        return response_pair(status, res, res_len, S.libfn);
    }
    using C = Convention<S, 1, body>;
};

/// Serialized command: int f(void *req, int req_len) -> status.
template <const Spec &S, int (*Fn)(void *, int)>
struct Command {
    static PyObject *body(PyObject *const *objs) noexcept {
        RequestArg req;
        if (req.set(objs[0]) < 0)
            return nullptr;
        return PyLong_FromLong(Fn(req.data(), req.size()));
    }
    using C = Convention<S, 1, body>;
};

/// Typed call: text, integer, floating-point and truth-value parameters in
/// prototype order; the result converted by its C type.
template <const Spec &S, auto Fn> struct Typed;
template <const Spec &S, class R, class... A, R (*Fn)(A...)>
struct Typed<S, Fn> {
    template <size_t... I>
    static PyObject *invoke(PyObject *const *objs, std::index_sequence<I...> idx) noexcept {
        std::tuple<typename ArgFor<A>::type...> conv;
        if (!convert_all(conv, objs, idx))
            return nullptr;
        return ResultOf<R>::make([&] { return Fn(std::get<I>(conv).value()...); });
    }
    static PyObject *body(PyObject *const *objs) noexcept {
        return invoke(objs, std::index_sequence_for<A...>{});
    }
    using C = Convention<S, static_cast<int>(sizeof...(A)), body>;
};

/// Typed call ending in a response pair: int f(A..., void **res, int *res_len)
/// -> (status, bytes) or (status, None).
template <const Spec &S, auto Fn> struct Responding;
template <const Spec &S, class... P, int (*Fn)(P...)>
struct Responding<S, Fn> {
    static constexpr size_t N = sizeof...(P) - 2;
    template <size_t I> using Param = std::tuple_element_t<I, std::tuple<P...>>;
    static_assert(std::is_same_v<Param<N>, void **> && std::is_same_v<Param<N + 1>, int *>,
                  "a responding call ends in (void **res, int *res_len)");

    template <size_t... I>
    static PyObject *invoke(PyObject *const *objs, std::index_sequence<I...> idx) noexcept {
        std::tuple<typename ArgFor<Param<I>>::type...> conv;
        if (!convert_all(conv, objs, idx))
            return nullptr;
        void *res = nullptr;
        int res_len = 0;
        int status = Fn(std::get<I>(conv).value()..., &res, &res_len);
        return response_pair(status, res, res_len, S.libfn);
    }
    static PyObject *body(PyObject *const *objs) noexcept {
        return invoke(objs, std::make_index_sequence<N>{});
    }
    using C = Convention<S, static_cast<int>(N), body>;
};

/// A named body, for the calls that fit no shape: it takes the parsed
/// arguments and does the rest itself.
template <const Spec &S, PyObject *(*Impl)(PyObject *const *)>
struct Named {
    using C = Convention<S, param_count(S), Impl>;
};

}  // namespace csdk

#endif  // CSDK_SHAPES_HPP
