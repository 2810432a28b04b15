// event_bridge.cpp - the one C callback registered with the SDK library and
// its hand-off to the Python callable stored in the module global `f`.
#include <cstdio>
#include <cstring>

#include "bodies.hpp"
#include "state.hpp"
#include "vycsdk.h"

namespace csdk {
namespace {

/// Events of one type come in long runs: the decoded type of the previous
/// event is reused while the raw text stays the same.  The cached string is
/// kept for the life of the process (never released at exit, when the
/// interpreter is gone), so it is held as a raw pointer, not a Ref.
class TypeCache {
public:
    PyObject *decode(const char *raw) noexcept {
        size_t n = std::strlen(raw);
        if (last_ && n == len_ && std::memcmp(raw, text_, n) == 0)
            return Ref::borrow(last_).release();
        Ref s = Ref::steal(PyUnicode_DecodeUTF8(raw, static_cast<Py_ssize_t>(n), "strict"));
        if (s && n < sizeof text_) {
            Ref previous = Ref::steal(last_);
            last_ = Ref::borrow(s.get()).release();
            std::memcpy(text_, raw, n);
            len_ = n;
        }
        return s.release();
    }

private:
    PyObject *last_ = nullptr;
    char text_[64];
    size_t len_ = 0;
};

TypeCache type_cache;

/// Builds the two arguments and calls f(msg_type, payload); NULL on failure.
PyObject *deliver(const char *msg_type, const void *data, int data_len) noexcept {
    const char *raw = msg_type ? msg_type : "";  // a NULL type is the empty text
    int bytes_type = global_truth(g_names.IS_PY2);
    if (bytes_type < 0)
        return nullptr;
    Ref type = Ref::steal(bytes_type ? PyBytes_FromString(raw) : type_cache.decode(raw));
    if (!type)
        return nullptr;
    PyObject *f = global(g_names.f);
    if (!f)
        return nullptr;
    Ref callable = Ref::borrow(f);  // the callable may rebind or delete f
    if (data_len < 0) {
        PyErr_Format(PyExc_ValueError, "event payload length is negative (%d)", data_len);
        return nullptr;
    }
    // A NULL payload pointer can only stand for no bytes.
    Ref payload = Ref::steal(PyBytes_FromStringAndSize(data ? static_cast<const char *>(data) : nullptr,
                                                       data ? data_len : 0));
    if (!payload)
        return nullptr;
    PyObject *argv[3] = {nullptr, type.get(), payload.get()};
    return PyObject_Vectorcall(callable.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

/// Prints the pending exception with its traceback (running sys.excepthook and
/// setting sys.last_*), then reports it again as unraisable, which clears it.
void report_failure() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref keep_type = Ref::borrow(type), keep_value = Ref::borrow(value), keep_tb = Ref::borrow(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(1);
    PyErr_Restore(keep_type.release(), keep_value.release(), keep_tb.release());
    PyErr_WriteUnraisable(g_names.callback_context);
}

}  // namespace

/// The event bridge.  Runs on the thread that is inside a call from the module
/// into the library, which holds the interpreter lock; an event arriving on any
/// other thread must not touch a Python object and is dropped with a note.
extern "C" void callback_wrapper(const char *msg_type, void *data, int data_len) {
    if (!PyGILState_Check() || !g_state.dict) {
        std::fprintf(stderr,
                     "c_sdk: event '%.100s' arrived on a thread that does not hold the interpreter "
                     "lock; dropped\n",
                     msg_type ? msg_type : "");
        return;
    }
    Ref result = Ref::steal(deliver(msg_type, data, data_len));
    if (!result)
        report_failure();
}

PyObject *set_data_callback(PyObject *const *objs) noexcept {
    if (PyDict_SetItem(g_state.dict, g_names.f, objs[0]) < 0)
        return nullptr;
    vyi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

}  // namespace csdk
