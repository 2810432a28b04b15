// shapes.hpp - one function template per calling shape.
//
// A row of the registration table names a shape and its SDK function; the
// shape owns argument parsing, conversion and the result, so each module
// function is one instantiation, not a hand-written body.  The calling
// convention follows the parameter count: none -> METH_NOARGS, one -> METH_O,
// more -> METH_FASTCALL | METH_KEYWORDS, bound here on the path that succeeds
// and handed to the interpreter's parser otherwise, so arity and keyword
// errors are the interpreter's own.
#ifndef CSDK_SHAPES_HPP
#define CSDK_SHAPES_HPP

#include <array>
#include <cassert>
#include <cstdio>
#include <tuple>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "sdk_functions.hpp"
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

/// The binding of the last keyword call that bound on the fast path.  The
/// keyword names of a call site are one constant tuple, so a function called
/// from one place again and again binds by a table: the tuple is held, and
/// its identity (with the positional count) stands for the same binding.
/// Free-threaded builds, where threads would share it, bind in full.
template <size_t N>
class KeywordMemo {
public:
    bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **objs) const noexcept {
#ifdef Py_GIL_DISABLED
        (void)args, (void)nargs, (void)kwnames, (void)objs;
        return false;
#else
        if (kwnames != kwnames_ || nargs != nargs_ || !kwnames)
            return false;
        for (size_t i = 0; i < N; ++i)
            objs[i] = nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            objs[i] = args[i];
        PyObject *const *values = args + nargs;
        for (size_t k = 0; k < nkw_; ++k)
            objs[slot_[k]] = values[k];
        return true;
#endif
    }
    /// Keeps the binding bind_fast made of this call: the parameter of each
    /// keyword, in `slots`.
    void learn(Py_ssize_t nargs, PyObject *kwnames, const unsigned char *slots) noexcept {
#ifndef Py_GIL_DISABLED
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nkw == 0)
            return;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            slot_[k] = slots[k];
        Ref previous = Ref::steal(kwnames_);
        kwnames_ = Ref::borrow(kwnames).release();
        nargs_ = nargs;
        nkw_ = static_cast<size_t>(nkw);
#else
        (void)nargs, (void)kwnames, (void)slots;
#endif
    }

private:
    PyObject *kwnames_ = nullptr;  // owned: its address cannot come back as another tuple's
    Py_ssize_t nargs_ = -1;
    size_t nkw_ = 0;
    unsigned char slot_[N] = {};
};

/// The parameter from `first` on that a keyword out of order names: by
/// pointer, then by value; n when none does (or the key is no exact str).
/// Out of line: the in-order path stays a few instructions a keyword.
[[gnu::noinline]] inline size_t find_keyword(PyObject *const *names, const char *const *params, size_t first,
                                             size_t n, PyObject *key) noexcept {
    for (size_t j = first; j < n; ++j)
        if (names[j] == key)
            return j;
    if (!PyUnicode_CheckExact(key))
        return n;
    for (size_t j = first; j < n; ++j)
        if (PyUnicode_CompareWithASCIIString(key, params[j]) == 0)
            return j;
    return n;
}

/// Binds a vectorcall argument list to N parameters, by position and by
/// keyword, when it is a call the interpreter's PyArg_ParseTupleAndKeywords
/// accepts with the same result; anything else (a wrong count, a missing,
/// repeated or unexpected keyword, a key that is no exact str) returns false
/// and is left to the interpreter's parser, whose messages differ between
/// versions.  Keys match the interned names by pointer, as the names at a
/// call site are interned, and else by value.
/// `slots` receives the parameter each keyword filled.
template <size_t N>
bool bind_fast(PyObject *const *names, const char *const *params, int required, PyObject *const *args,
               Py_ssize_t nargs, PyObject *kwnames, PyObject **objs, unsigned char *slots) noexcept {
    if (nargs > static_cast<Py_ssize_t>(N))
        return false;
    const size_t first = static_cast<size_t>(nargs);
    for (size_t i = 0; i < first; ++i)
        objs[i] = args[i];
    for (size_t i = first; i < N; ++i)
        objs[i] = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const size_t needed = required < 0 ? N : static_cast<size_t>(required);
    if (nkw == 0)
        return first >= needed;
    if (first >= N)
        return false;  // a keyword too many: the interpreter's parser says which
    PyObject *const *values = args + nargs;
    size_t next = first;  // keywords mostly come in parameter order
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        size_t j = next;
        if (j >= N || names[j] != key) {
            j = find_keyword(names, params, first, N, key);
            if (j == N)
                return false;
        }
        if (objs[j])
            return false;  // given twice
        objs[j] = values[k];
        slots[k] = static_cast<unsigned char>(j);
        next = j + 1;
    }
    // Each keyword filled a parameter of its own: all are there when the
    // counts add up.
    if (first + static_cast<size_t>(nkw) == N)
        return true;
    for (size_t i = 0; i < needed; ++i)
        if (!objs[i])
            return false;
    return true;
}

/// The interpreter's parser format of a row, "OO|O:name", made at compile
/// time (nothing is built on first use, by whichever thread).
template <const Spec &S, size_t N>
constexpr std::array<char, kMaxParams + 96> parse_format() {
    std::array<char, kMaxParams + 96> f{};
    size_t p = 0;
    for (size_t i = 0; i < N; ++i) {
        if (S.required >= 0 && i == static_cast<size_t>(S.required))
            f[p++] = '|';
        f[p++] = 'O';
    }
    f[p++] = ':';
    for (const char *c = S.name; *c; ++c)
        f[p++] = *c;
    return f;
}

/// The interpreter's own parsing of the same call, rebuilt as an argument
/// tuple and a keyword dict: it raises the version's own TypeError, and
/// should it accept the call after all, its binding is used.  The objects
/// bound stay alive in the caller's argument vector.
template <const Spec &S, size_t N, size_t... I>
bool parse_by_interpreter(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **objs,
                          std::index_sequence<I...>) noexcept {
    static_assert(N >= 2 && N <= kMaxParams, "the fast path binds two or more parameters");
    static constexpr auto format = parse_format<S, N>();
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple)
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
    Ref dict;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw) {
        dict = Ref::steal(PyDict_New());
        if (!dict)
            return false;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return false;
    }
    ((objs[I] = nullptr), ...);
    return PyArg_ParseTupleAndKeywords(tuple.get(), dict.get(), format.data(), const_cast<char **>(S.params),
                                       &objs[I]...);
}

/// Builds the table's calling convention from a body taking (PyObject *const *objs).
template <const Spec &S, int N, PyObject *(*Body)(PyObject *const *)>
struct Convention {
    static_assert(param_count(S) == N, "the row's parameter names must match the C signature");
    static constexpr int flags = N == 0 ? METH_NOARGS : N == 1 ? METH_O : METH_FASTCALL | METH_KEYWORDS;
    static constexpr size_t kSlots = N > 0 ? N : 1;

    static inline KeywordMemo<kSlots> memo;

    /// The parameter names, interned on the first call and kept for the process.
    static inline PyObject *names[kSlots] = {};
    static inline Once interned;

    static bool intern_names() noexcept {
        return interned.run([] {
            for (int i = 0; i < N; ++i)
                if (!names[i] && !(names[i] = PyUnicode_InternFromString(S.params[i])))
                    return false;
            return true;
        });
    }
    static PyObject *noargs(PyObject *, PyObject *) noexcept { return leave(S, Body(nullptr)); }
    static PyObject *onearg(PyObject *, PyObject *o) noexcept { return leave(S, Body(&o)); }
    static PyObject *fastcall(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        if (!kwnames && nargs == N)
            return leave(S, Body(args));  // every parameter by position: bound as they came
        PyObject *objs[kSlots];
        if (memo.bind(args, nargs, kwnames, objs))
            return leave(S, Body(objs));
        if (!intern_names())
            return leave(S, nullptr);
        unsigned char slots[kSlots];
        if (bind_fast<N>(names, S.params, S.required, args, nargs, kwnames, objs, slots))
            memo.learn(nargs, kwnames, slots);
        else if (!parse_by_interpreter<S, N>(args, nargs, kwnames, objs, std::make_index_sequence<N>{}))
            return leave(S, nullptr);
        return leave(S, Body(objs));
    }
    static PyCFunction method() noexcept {
        if constexpr (N == 0)
            return noargs;
        else if constexpr (N == 1)
            return onearg;
        else
            return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fastcall));
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
/// Runs the library call `fn` inside a LibraryCall scope and converts its C
/// result to Python while the scope lasts (a returned text is the library's
/// until its next call).
template <> struct ResultOf<void> {
    template <class F> static PyObject *make(F &&fn) noexcept {
        LibraryCall call;
        call(fn);
        return call.finish(Ref::borrow(Py_None).release());
    }
};
template <> struct ResultOf<int> {
    template <class F> static PyObject *make(F &&fn) noexcept {
        LibraryCall call;
        return call.finish(PyLong_FromLong(call(fn)));
    }
};
template <> struct ResultOf<long long> {
    template <class F> static PyObject *make(F &&fn) noexcept {
        LibraryCall call;
        return call.finish(PyLong_FromLongLong(call(fn)));
    }
};
template <> struct ResultOf<double> {
    template <class F> static PyObject *make(F &&fn) noexcept {
        LibraryCall call;
        return call.finish(PyFloat_FromDouble(call(fn)));
    }
};
template <> struct ResultOf<const char *> {
    // The library's text is copied at once; a NULL is never dereferenced.
    template <class F> static PyObject *make(F &&fn) noexcept {
        LibraryCall call;
        return call.finish(text_result(call(fn)));
    }
};

// ---- the shapes --------------------------------------------------------------

/// Serialized query: int f(void *req, int req_len, void **res, int *res_len)
/// -> (status, bytes) or (status, None).
template <const Spec &S, class Fn>
struct Query {
    static_assert(std::is_same_v<typename Fn::Ptr, int (*)(void *, int, void **, int *)>, "a serialized query");
    static PyObject *body(PyObject *const *objs) noexcept {
        RequestArg req;
        if (req.set(objs[0]) < 0)
            return nullptr;
        auto fn = Fn::get();
        if (!fn)
            return nullptr;
        void *res = nullptr;
        int res_len = 0;
        LibraryCall call;
        int status = call([&] { return fn(req.data(), req.size(), &res, &res_len); });
        return call.finish(response_pair(call, status, res, res_len, S.libfn));
    }
    using C = Convention<S, 1, body>;
    /// Its one argument is a request, converted first thing (the decorator
    /// may hand it an ASCII str in place of the bytes; see convert.hpp).
    static constexpr bool request_arg = true;
};

/// Serialized command: int f(void *req, int req_len) -> status.
template <const Spec &S, class Fn>
struct Command {
    static_assert(std::is_same_v<typename Fn::Ptr, int (*)(void *, int)>, "a serialized command");
    static PyObject *body(PyObject *const *objs) noexcept {
        RequestArg req;
        if (req.set(objs[0]) < 0)
            return nullptr;
        auto fn = Fn::get();
        if (!fn)
            return nullptr;
        LibraryCall call;
        return call.finish(PyLong_FromLong(call([&] { return fn(req.data(), req.size()); })));
    }
    using C = Convention<S, 1, body>;
    /// Its one argument is a request, converted first thing (the decorator
    /// may hand it an ASCII str in place of the bytes; see convert.hpp).
    static constexpr bool request_arg = true;
};

/// Typed call: text, integer, floating-point and truth-value parameters in
/// prototype order; the result converted by its C type.
template <const Spec &S, class Fn, class Ptr = typename Fn::Ptr> struct Typed;
template <const Spec &S, class Fn, class R, class... A>
struct Typed<S, Fn, R (*)(A...)> {
    template <size_t... I>
    static PyObject *invoke(PyObject *const *objs, std::index_sequence<I...> idx) noexcept {
        std::tuple<typename ArgFor<A>::type...> conv;
        if (!convert_all(conv, objs, idx))
            return nullptr;
        auto fn = Fn::get();
        if (!fn)
            return nullptr;
        return ResultOf<R>::make([&] { return fn(std::get<I>(conv).value()...); });
    }
    static PyObject *body(PyObject *const *objs) noexcept {
        return invoke(objs, std::index_sequence_for<A...>{});
    }
    using C = Convention<S, static_cast<int>(sizeof...(A)), body>;
    static constexpr bool request_arg = false;
};

/// Typed call ending in a response pair: int f(A..., void **res, int *res_len)
/// -> (status, bytes) or (status, None).
template <const Spec &S, class Fn, class Ptr = typename Fn::Ptr> struct Responding;
template <const Spec &S, class Fn, class... P>
struct Responding<S, Fn, int (*)(P...)> {
    static constexpr size_t N = sizeof...(P) - 2;
    template <size_t I> using Param = std::tuple_element_t<I, std::tuple<P...>>;
    static_assert(std::is_same_v<Param<N>, void **> && std::is_same_v<Param<N + 1>, int *>,
                  "a responding call ends in (void **res, int *res_len)");

    template <size_t... I>
    static PyObject *invoke(PyObject *const *objs, std::index_sequence<I...> idx) noexcept {
        std::tuple<typename ArgFor<Param<I>>::type...> conv;
        if (!convert_all(conv, objs, idx))
            return nullptr;
        auto fn = Fn::get();
        if (!fn)
            return nullptr;
        void *res = nullptr;
        int res_len = 0;
        LibraryCall call;
        int status = call([&] { return fn(std::get<I>(conv).value()..., &res, &res_len); });
        return call.finish(response_pair(call, status, res, res_len, S.libfn));
    }
    static PyObject *body(PyObject *const *objs) noexcept {
        return invoke(objs, std::make_index_sequence<N>{});
    }
    using C = Convention<S, static_cast<int>(N), body>;
    static constexpr bool request_arg = false;
};

/// A named body, for the calls that fit no shape: it takes the parsed
/// arguments and does the rest itself.
template <const Spec &S, PyObject *(*Impl)(PyObject *const *)>
struct Named {
    using C = Convention<S, param_count(S), Impl>;
    static constexpr bool request_arg = false;
};

}  // namespace csdk

#endif  // CSDK_SHAPES_HPP
