// convert.cpp - the integer rule, the request pair and the response pair.
#include "convert.hpp"

#include <utility>

#include "state.hpp"

namespace csdk {

static int long_to_c_int(PyObject *o, int *out) noexcept {
    long v = PyLong_AsLong(o);  // beyond a C long: the interpreter's own OverflowError
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<int>(v);
    return 0;
}

int as_c_int(PyObject *o, int *out) noexcept {
    if (PyLong_Check(o))
        return long_to_c_int(o, out);
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    Ref r = Ref::steal(nb->nb_int(o));
    if (!r)
        return -1;
    if (!PyLong_CheckExact(r.get())) {
        if (!PyLong_Check(r.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(r.get())->tp_name);
            return -1;
        }
        // An int subclass is still taken, with the interpreter's own warning.
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            return -1;
    }
    return long_to_c_int(r.get(), out);
}

PyObject *g_ascii_request;

int RequestArg::set_other(PyObject *o) noexcept {
    Py_ssize_t n, held;
    if (o == g_ascii_request) {
        g_ascii_request = nullptr;  // taken once
        ptr_ = static_cast<const char *>(PyUnicode_DATA(o));
        n = held = PyUnicode_GET_LENGTH(o);
    } else {
        // len() first, through the generic protocol, before any type check.
        n = (PyBytes_CheckExact(o) || PyByteArray_CheckExact(o)) ? Py_SIZE(o) : PyObject_Length(o);
        if (n < 0)
            return -1;
        if (PyByteArray_Check(o)) {
            if (lock_.lock(o) < 0)
                return -1;
            ptr_ = lock_.data();
            held = lock_.size();
        } else if (PyBytes_Check(o)) {
            ptr_ = PyBytes_AS_STRING(o);
            held = PyBytes_GET_SIZE(o);
        } else {
            PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
            return -1;
        }
    }
    if (n > INT_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "request of %zd bytes is too large for the SDK library (at most %d bytes)", n,
                     INT_MAX);
        return -1;
    }
    if (n > held) {
        PyErr_Format(PyExc_ValueError,
                     "len() of the %.200s request reports %zd bytes but it holds only %zd", Py_TYPE(o)->tp_name,
                     n, held);
        return -1;
    }
    len_ = static_cast<int>(n);
    return 0;
}

SuccessCache g_success_cache;

bool cache_success(PyObject *success) noexcept {
    if (!PyLong_CheckExact(success))
        return false;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(success, &overflow);  // cannot fail for an exact int
    Ref previous = Ref::steal(g_success_cache.obj), previous_status = Ref::steal(g_success_cache.status);
    g_success_cache.obj = Ref::borrow(success).release();
    g_success_cache.value = v;
    g_success_cache.fits_long = overflow == 0;
    g_success_cache.status = overflow == 0 && v >= -5 && v <= 256 ? PyLong_FromLong(v) : nullptr;
    return true;
}

namespace {

/// A success must come with a readable response; anything else is a broken
/// library, reported instead of reading memory it never gave us.
bool readable(const void *res, int res_len) noexcept { return res_len >= 0 && (res != nullptr || res_len == 0); }

/// The response's bytes, once readable() says they can be read.
PyObject *response_bytes(const void *res, int res_len) noexcept {
    return PyBytes_FromStringAndSize(res_len ? static_cast<const char *>(res) : nullptr, res_len);
}

/// The pair (status, payload); NULL when either is missing (its exception set).
PyObject *pair_of(Ref status, Ref payload) noexcept {
    PyObject *pair = status && payload ? PyTuple_New(2) : nullptr;
    if (!pair)
        return nullptr;
    PyTuple_SET_ITEM(pair, 0, status.release());
    PyTuple_SET_ITEM(pair, 1, payload.release());
    return pair;
}

__attribute__((noinline)) PyObject *response_pair_full(LibraryCall &call, int status, const void *res, int res_len,
                                                       const char *libfn) noexcept {
    Ref st = Ref::steal(PyLong_FromLong(status));
    if (!st)
        return nullptr;
    Ref payload;
    int ok = read_on_success(call, st.get(), status, Py_EQ, [res, res_len, libfn]() noexcept -> PyObject * {
        if (!readable(res, res_len)) {
            PyErr_Format(PyExc_RuntimeError,
                         "%s reported success with an unreadable response (%s pointer, length %d)", libfn,
                         res ? "non-NULL" : "NULL", res_len);
            return nullptr;
        }
        return response_bytes(res, res_len);
    }, payload);
    if (ok < 0)
        return nullptr;
    return pair_of(std::move(st), ok ? std::move(payload) : Ref::borrow(Py_None));
}

}  // namespace

PyObject *response_pair(LibraryCall &call, int status, const void *res, int res_len, const char *libfn) noexcept {
#ifndef Py_GIL_DISABLED
    // The common case: CSDK_OPERATE_SUCCESS is the exact int already cached,
    // so the test is one comparison and runs no Python code; the same objects
    // as below, made in the same order.
    if (hot_current() && g_hot.success && g_hot.success == g_success_cache.obj) {
        bool ok = g_success_cache.fits_long && g_success_cache.value == status;
        if (!ok || readable(res, res_len)) {
            Ref st = ok && g_success_cache.status ? Ref::borrow(g_success_cache.status)
                                                  : Ref::steal(PyLong_FromLong(status));
            if (!st)
                return nullptr;
            return pair_of(std::move(st), ok ? Ref::steal(response_bytes(res, res_len)) : Ref::borrow(Py_None));
        }
    }
#endif
    return response_pair_full(call, status, res, res_len, libfn);
}

}  // namespace csdk
