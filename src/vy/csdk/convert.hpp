// convert.hpp - argument converters shared by every calling shape.
//
// Each converter turns one Python argument into one C value, sets a Python
// exception and returns -1 when it cannot.  They run in parameter order and
// the first failure stops the call before the SDK library is entered.
#ifndef CSDK_CONVERT_HPP
#define CSDK_CONVERT_HPP

#include <climits>
#include <utility>

#include "library.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace csdk {

/// Holds a bytearray's buffer export for the duration of an SDK call.  Events
/// can run Python code inside any library call; with an export outstanding a
/// resize there raises BufferError instead of freeing memory the library reads.
/// The base type's slot is used so a subclass cannot swap in another buffer.
class ByteArrayLock {
public:
    ByteArrayLock() noexcept = default;
    ByteArrayLock(const ByteArrayLock &) = delete;
    ByteArrayLock &operator=(const ByteArrayLock &) = delete;
    ~ByteArrayLock() { release(); }

    int lock(PyObject *o) noexcept {
        if (PyByteArray_Type.tp_as_buffer->bf_getbuffer(o, &view_, PyBUF_SIMPLE) < 0)
            return -1;
        held_ = true;
        return 0;
    }
    const char *data() const noexcept {
        return view_.len ? static_cast<const char *>(view_.buf) : "";
    }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    void release() noexcept {
        if (held_) {
            held_ = false;
            if (PyByteArray_Type.tp_as_buffer->bf_releasebuffer)
                PyByteArray_Type.tp_as_buffer->bf_releasebuffer(view_.obj, &view_);
            Ref export_ref = Ref::steal(view_.obj);  // the reference the export took
        }
    }
    Py_buffer view_;  // filled by lock(); read only while held_
    bool held_ = false;
};

/// Text parameter (const char *): bytes or bytearray, subclasses included; the
/// object's own buffer, never a copy and never NULL.
class TextArg {
public:
    int set(PyObject *o) noexcept {
        if (PyBytes_Check(o)) {
            ptr_ = PyBytes_AS_STRING(o);
            return 0;
        }
        if (PyByteArray_Check(o)) {
            if (lock_.lock(o) < 0)
                return -1;
            ptr_ = lock_.data();
            return 0;
        }
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
        return -1;
    }
    const char *value() const noexcept { return ptr_; }

private:
    const char *ptr_ = nullptr;
    ByteArrayLock lock_;
};

/// The module's integer rule: an int (or bool) by value, anything else through
/// its __int__; the value must fit a C int.
int as_c_int(PyObject *o, int *out) noexcept;

class IntArg {
public:
    int set(PyObject *o) noexcept { return as_c_int(o, &v_); }
    int value() const noexcept { return v_; }

private:
    int v_ = 0;
};

/// Floating-point parameter: an exact float by value, else the interpreter's
/// float conversion.
class DoubleArg {
public:
    int set(PyObject *o) noexcept {
        if (PyFloat_CheckExact(o)) {
            v_ = PyFloat_AS_DOUBLE(o);
            return 0;
        }
        v_ = PyFloat_AsDouble(o);
        return (v_ == -1.0 && PyErr_Occurred()) ? -1 : 0;
    }
    double value() const noexcept { return v_; }

private:
    double v_ = 0.0;
};

/// Truth-value parameter: True, False and None directly, else the object's truth.
class BoolArg {
public:
    int set(PyObject *o) noexcept {
        int t = (o == Py_True) ? 1 : (o == Py_False || o == Py_None) ? 0 : PyObject_IsTrue(o);
        if (t < 0)
            return -1;
        v_ = t != 0;
        return 0;
    }
    bool value() const noexcept { return v_; }

private:
    bool v_ = false;
};

/// An exact ASCII str that the decorator hands, in place of its encoded
/// bytes, to one of the module's own functions whose one argument is a
/// request: its characters are those bytes, so the request conversion takes
/// them as they are, with no bytes object made and freed around the call.
/// Set only around that call and taken by its first conversion, before any
/// Python code can run, so no other call ever sees it.  Not on a
/// free-threaded build.
extern PyObject *g_ascii_request;

/// Serialized request: (pointer to the object's own bytes, length as int).
/// The length comes from len() first, as the generic length protocol gives it;
/// it must fit the library's int and may not exceed the bytes really held, so
/// a subclass whose __len__ lies cannot make the library over-read.
class RequestArg {
public:
    int set(PyObject *o) noexcept {
        // The common case, an exact bytes object, without a call.
        if (PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) <= INT_MAX) {
            ptr_ = PyBytes_AS_STRING(o);
            len_ = static_cast<int>(PyBytes_GET_SIZE(o));
            return 0;
        }
        return set_other(o);
    }
    void *data() const noexcept { return const_cast<char *>(ptr_); }
    int size() const noexcept { return len_; }

private:
    int set_other(PyObject *o) noexcept;
    const char *ptr_ = nullptr;
    int len_ = 0;
    ByteArrayLock lock_;
};

/// Copies a NUL-terminated text returned by the library into new bytes; a
/// NULL text, which the library must not return, gives b"".
inline PyObject *text_result(const char *s) noexcept {
    return s ? PyBytes_FromString(s) : PyBytes_FromStringAndSize(nullptr, 0);
}

/// The last exact-int CSDK_OPERATE_SUCCESS seen and its value, so that the
/// common test is one C comparison and no call.  The reference held keeps the
/// address from being reused by another int; it is kept for the process.
struct SuccessCache {
    PyObject *obj = nullptr;
    long value = 0;
    bool fits_long = false;
    // For a value the interpreter keeps one object of (-5 to 256), that
    // object, which PyLong_FromLong gives for a status equal to it.
    PyObject *status = nullptr;
};
extern SuccessCache g_success_cache;

/// Takes `success` into the cache when it is an exact int; false otherwise.
bool cache_success(PyObject *success) noexcept;

/// The success test in C: for a CSDK_OPERATE_SUCCESS that is an exact int,
/// 1 or 0 as `status` equals it or not; -1 (no exception) for any other
/// object, whose comparison can run Python code.
inline int success_in_c(PyObject *success, int status) noexcept {
#ifdef Py_GIL_DISABLED
    // No cache shared between threads: the value is read each time.
    if (!PyLong_CheckExact(success))
        return -1;
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(success, &overflow);  // cannot fail for an exact int
    return overflow == 0 && v == status;
#else
    if (success != g_success_cache.obj && !cache_success(success))
        return -1;
    // Beyond a C long it cannot equal a C int status.
    return g_success_cache.fits_long && g_success_cache.value == status;
#endif
}

/// Keeps the outcome of a read made before a comparison that can run Python
/// code: the object, or the exception it raised, which is raised only if the
/// test then says success and is dropped otherwise.
class EarlyRead {
public:
    explicit EarlyRead(PyObject *value) noexcept : value_(Ref::steal(value)) {
        if (!value)
            exc_ = fetch_exception();
    }
    EarlyRead(const EarlyRead &) = delete;
    EarlyRead &operator=(const EarlyRead &) = delete;
    /// 1 with the object in out, or -1 with its exception raised again.
    int take(Ref &out) noexcept {
        if (value_) {
            out = std::move(value_);
            return 1;
        }
        restore_exception(std::move(exc_));
        return -1;
    }

private:
    Ref value_, exc_;
};

/// The success test of a call that reads the library's response after it,
/// `status_obj op CSDK_OPERATE_SUCCESS` with op Py_EQ (success when true) or
/// Py_NE (success when false), the global looked up now.  On success `out`
/// gets read() (a new reference, or NULL with an exception) and 1 is
/// returned; 0 for a failing status; -1 with an exception.
///
/// An exact int is tested in C and the response is read only on success.
/// Any other object's comparison can run Python code, which may call into
/// the library and so overwrite the response: then it is read first, the
/// comparison runs with the same operands, and the early read is used only
/// if the test says success.
template <class Read>
int read_then_compare(LibraryCall &call, PyObject *status_obj, PyObject *success, int op, Read &&read,
                      Ref &out) noexcept;

template <class Read>
int read_on_success(LibraryCall &call, PyObject *status_obj, int status, int op, Read &&read, Ref &out) noexcept {
    Ref success = global_success();
    if (!success)
        return -1;
    int equal = success_in_c(success.get(), status);
    if (equal < 0)
        return read_then_compare(call, status_obj, success.get(), op, read, out);
    if (!equal)
        return 0;
    out = Ref::steal(read());
    return out ? 1 : -1;
}

/// The path of a comparison that can run Python code, kept out of line.
template <class Read>
[[gnu::noinline]] int read_then_compare(LibraryCall &call, PyObject *status_obj, PyObject *success, int op,
                                        Read &&read, Ref &out) noexcept {
    EarlyRead early(read());
    call.copied();
    Ref r = Ref::steal(PyObject_RichCompare(status_obj, success, op));  // the caller holds success
    if (!r)
        return -1;
    int truth = PyObject_IsTrue(r.get());
    if (truth < 0)
        return -1;
    if (truth != (op == Py_EQ))
        return 0;
    return early.take(out);
}

/// The response pair (status, bytes) or (status, None), by the success test
/// above.  `libfn` names the SDK function in the error raised when a success
/// comes with a response that cannot be read.
PyObject *response_pair(LibraryCall &call, int status, const void *res, int res_len, const char *libfn) noexcept;

}  // namespace csdk

#endif  // CSDK_CONVERT_HPP
