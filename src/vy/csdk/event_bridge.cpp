// event_bridge.cpp - the one C callback registered with the SDK library and
// its hand-off to the Python callable stored in the module global `f`.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bodies.hpp"
#include "library.hpp"
#include "state.hpp"
#include "sdk_functions.hpp"

namespace csdk {
namespace {

/// Events of one type come in long runs: the decoded type of the previous
/// event is reused while the raw text stays the same.  The cached string is
/// kept for the life of the process (never released at exit, when the
/// interpreter is gone), so it is held as a raw pointer, not a Ref.
class TypeCache {
public:
    PyObject *decode(const char *raw) noexcept {
        if (last_ && same_as_last(raw))
            return Ref::borrow(last_).release();
        size_t n = std::strlen(raw);
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
    /// raw equals the kept text, NUL included: one pass, no call.
    bool same_as_last(const char *raw) const noexcept {
        for (size_t i = 0; i < len_; ++i)
            if (raw[i] != text_[i])
                return false;
        return raw[len_] == '\0';
    }
    PyObject *last_ = nullptr;
    char text_[64];
    size_t len_ = 0;
};

// Without the GIL each thread keeps its own (one small string a thread).
#ifdef Py_GIL_DISABLED
thread_local TypeCache type_cache;
#else
TypeCache type_cache;
#endif

/// One event as the library passed it; on a free-threaded build copied
/// before the bridge lets the library go (another thread's call may reuse
/// its buffers), and read from the copies after.
struct Event {
    const char *type;
    const void *data;
    int len;
    Ref type_copy;  // the type up to its NUL, as bytes
    Ref payload;    // the payload, when already copied

    /// Copies what the library owns; false with an exception set.
    bool copy() noexcept {
        type_copy = Ref::steal(PyBytes_FromString(type ? type : ""));
        if (!type_copy)
            return false;
        type = PyBytes_AS_STRING(type_copy.get());
        if (len >= 0) {
            payload = Ref::steal(PyBytes_FromStringAndSize(data ? static_cast<const char *>(data) : nullptr,
                                                           data ? len : 0));
            if (!payload)
                return false;
        }
        data = nullptr;
        return true;
    }
};

/// Builds the two arguments and calls f(msg_type, payload); NULL on failure.
PyObject *deliver(Event &ev) noexcept {
    const char *raw = ev.type ? ev.type : "";  // a NULL type is the empty text
    int bytes_type = global_is_py2();
    if (bytes_type < 0)
        return nullptr;
    Ref type = Ref::steal(bytes_type ? PyBytes_FromString(raw) : type_cache.decode(raw));
    if (!type)
        return nullptr;
    Ref callable = global_f();  // owned: the callable may rebind or delete f
    if (!callable)
        return nullptr;
    // A signal that came while the library ran C code has its handler run
    // before the event.  A Python function or method does that itself on
    // entry (and raises inside the callable); anything else is checked here.
    if (!PyFunction_Check(callable.get()) && !PyMethod_Check(callable.get()) && PyErr_CheckSignals() < 0)
        return nullptr;
    if (ev.len < 0) {
        PyErr_Format(PyExc_ValueError, "event payload length is negative (%d)", ev.len);
        return nullptr;
    }
    // A NULL payload pointer can only stand for no bytes.
    Ref payload = ev.payload ? std::move(ev.payload)
                             : Ref::steal(PyBytes_FromStringAndSize(
                                   ev.data ? static_cast<const char *>(ev.data) : nullptr, ev.data ? ev.len : 0));
    if (!payload)
        return nullptr;
    PyObject *argv[3] = {nullptr, type.get(), payload.get()};
    return PyObject_Vectorcall(callable.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

/// Prints the pending exception with its traceback (running sys.excepthook and
/// setting sys.last_*), then reports it again as unraisable, which clears it.
void report_failure() noexcept {
    Ref exc = fetch_exception();
    Ref again = Ref::borrow(exc.get());
    restore_exception(std::move(exc));
    PyErr_PrintEx(1);
    restore_exception(std::move(again));
    PyErr_WriteUnraisable(g_names.callback_context);
}

/// A KeyboardInterrupt or SystemExit ends the run the way it ends any Python
/// code: it is kept for the module call the library is executing, which
/// raises it once the library returns, and the library is asked to stop.
/// The first one is raised; later ones, while the library winds down, go.
void keep_stop() noexcept {
    Ref exc = fetch_exception();
    if (t_calls.stop)
        return;
    t_calls.stop = exc.release();
    t_calls.stop_depth = t_calls.depth;
    auto stop = CSDK_SDK(vyi_stop)::get();
    if (!stop) {
        PyErr_Clear();  // a library without vyi_stop runs on to its end; the stop is raised then
        return;
    }
    LibraryCall call;
    call([stop] { return stop(); });
}

/// Whether this thread may run Python code for an event that arrives outside
/// any call from the module: its own thread state must be the one attached,
/// in the interpreter that loaded the module.  A comparison of states, not
/// PyGILState_Check(), which answers yes for every thread once any
/// sub-interpreter has existed.
bool holds_interpreter() noexcept {
    PyThreadState *own = PyGILState_GetThisThreadState();
    return own && own == csdk_current_thread_state() &&
           PyThreadState_GetInterpreter(own) == g_state.interp.load(std::memory_order_relaxed);
}

}  // namespace

__thread ThreadCalls t_calls __attribute__((tls_model("initial-exec")));
#ifdef Py_GIL_DISABLED
PyMutex g_library_lock;
#endif

PyObject *raise_stop() noexcept {
    Ref stop = Ref::steal(t_calls.stop);
    t_calls.stop = nullptr;
    restore_exception(std::move(stop));
    return nullptr;
}

namespace {

/// Delivers one event on a thread that may run Python code; nothing is left
/// pending when it returns.  `copied` says whether the copy was made.
void handle_event(Event &ev, bool copied = true) noexcept {
    Ref result = Ref::steal(copied ? deliver(ev) : nullptr);
    if (result)
        return;
    // Outside a module call there is no caller to raise a stop in.
    if (t_calls.depth > 0 &&
        (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit)))
        keep_stop();
    else
        report_failure();
}

}  // namespace

/// The event bridge.  Runs on a thread inside a call from the module into the
/// library, which holds the interpreter lock (on a free-threaded build: which
/// detached itself and holds the library's lock), or on a thread that holds
/// the interpreter lock (is attached) while the library calls back outside
/// such a call; an event arriving on any other thread must not touch a
/// Python object and is dropped with a note.
extern "C" void callback_wrapper(const char *msg_type, void *data, int data_len) {
    if (g_state.dict) {
#ifdef Py_GIL_DISABLED
        if (t_calls.depth > 0 && t_calls.detached) {
            // Attached again for the event; the library is let go while
            // Python code runs, and taken back (waiting detached) before
            // the bridge returns into it.
            PyThreadState *state = t_calls.detached;
            t_calls.detached = nullptr;
            PyEval_RestoreThread(state);
            {
                // (the copies go while the thread is still attached)
                Event ev{msg_type, data, data_len, Ref(), Ref()};
                bool copied = ev.copy();
                PyMutex_Unlock(&g_library_lock);
                handle_event(ev, copied);
            }
            PyMutex_Lock(&g_library_lock);
            PyEval_SaveThread();
            t_calls.detached = state;
            return;
        }
        bool may_run = holds_interpreter();
#else
        bool may_run = t_calls.depth > 0 || holds_interpreter();
#endif
        if (may_run) {
            Event ev{msg_type, data, data_len, Ref(), Ref()};
            handle_event(ev);
            return;
        }
    }
    std::fprintf(stderr,
                 "c_sdk: event '%.100s' arrived on a thread that does not hold the interpreter lock; dropped\n",
                 msg_type ? msg_type : "");
}

PyObject *set_data_callback(PyObject *const *objs) noexcept {
    if (PyDict_SetItem(g_state.dict, g_names.f, objs[0]) < 0)
        return nullptr;
    auto set_callback = CSDK_SDK(vyi_set_event_callback_pb)::get();
    if (!set_callback)
        return nullptr;
    LibraryCall call;
    call([set_callback] { set_callback(callback_wrapper); });
    return call.finish(Ref::borrow(Py_None).release());
}

}  // namespace csdk
