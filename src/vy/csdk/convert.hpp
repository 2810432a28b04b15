// convert.hpp - argument converters shared by every calling shape.
//
// Each converter turns one Python argument into one C value, sets a Python
// exception and returns -1 when it cannot.  They run in parameter order and
// the first failure stops the call before the SDK library is entered.
#ifndef CSDK_CONVERT_HPP
#define CSDK_CONVERT_HPP

#include <climits>

#include "ref.hpp"

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
    Py_buffer view_{};
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
        v_ = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
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

/// Serialized request: (pointer to the object's own bytes, length as int).
/// The length comes from len() first, as the generic length protocol gives it;
/// it must fit the library's int and may not exceed the bytes really held, so
/// a subclass whose __len__ lies cannot make the library over-read.
class RequestArg {
public:
    int set(PyObject *o) noexcept;
    void *data() const noexcept { return const_cast<char *>(ptr_); }
    int size() const noexcept { return len_; }

private:
    const char *ptr_ = nullptr;
    int len_ = 0;
    ByteArrayLock lock_;
};

/// Copies a NUL-terminated text returned by the library into new bytes; a
/// NULL text, which the library must not return, gives b"".
inline PyObject *text_result(const char *s) noexcept {
    return s ? PyBytes_FromString(s) : PyBytes_FromStringAndSize(nullptr, 0);
}

/// The response pair (status, bytes) or (status, None), after comparing the
/// status with CSDK_OPERATE_SUCCESS.  `libfn` names the SDK function in the
/// error raised when a success comes with a response that cannot be read.
PyObject *response_pair(int status, const void *res, int res_len, const char *libfn) noexcept;

}  // namespace csdk

#endif  // CSDK_CONVERT_HPP
