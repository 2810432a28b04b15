// ref.hpp - the owned-reference type.  Ownership is spelled at every call site:
// Ref::steal() takes over a new reference, Ref::borrow() adds one.
#ifndef CSDK_REF_HPP
#define CSDK_REF_HPP

#include "compat.h"

namespace csdk {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) {
            PyObject *old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    // Always inline: a decrement and a test, which GCC sometimes calls out of line.
    __attribute__((always_inline)) ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /// Hands the reference to the caller (an entry point's result).
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept {
        PyObject *old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

/// Takes the pending exception, normalised and carrying its traceback; an
/// empty Ref when none is set.  3.12 made one object the whole state.
inline Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type)
        return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    Ref keep_type = Ref::steal(type), keep_tb = Ref::steal(tb);
    Ref exc = Ref::steal(value);
    if (tb && exc)
        PyException_SetTraceback(exc.get(), tb);
    return exc;
#endif
}

/// Sets `exc` (from fetch_exception) as the pending exception again.
inline void restore_exception(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyObject *type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(exc.get()))).release();
    PyObject *tb = PyException_GetTraceback(exc.get());  // a new reference, or NULL
    PyErr_Restore(type, exc.release(), tb);
#endif
}

}  // namespace csdk

#endif  // CSDK_REF_HPP
