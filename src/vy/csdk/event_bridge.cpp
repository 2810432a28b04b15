// event_bridge.cpp - the one C callback registered with the SDK library and
// its hand-off to the Python callable stored in the module global `f`.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bodies.hpp"
#include "library.hpp"
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

/// The two module globals read at every event, IS_PY2 and f.  While the
/// module namespace is unchanged a lookup would find the same objects, so
/// they are kept until it changes: up to 3.11 the dict's version tag tells,
/// from 3.12 on a dict watcher.  Only a True or False IS_PY2 and an f that
/// are entries of the namespace itself are kept; anything else (a fallback to
/// the built-in names, a flag whose truth test runs Python code) is looked up
/// in full at each event.
class GlobalsCache {
public:
    /// IS_PY2's truth and f (borrowed), when still valid.
    bool get(int *is_py2, PyObject **f) const noexcept {
        if (!f_ || changed())
            return false;
        *is_py2 = is_py2_;
        *f = f_;
        return true;
    }
    /// Keeps the namespace's current IS_PY2 and f, where they qualify.
    void refresh() noexcept {
        f_ = nullptr;
        if (!watch())
            return;
        PyObject *flag = PyDict_GetItemWithError(g_state.dict, g_names.IS_PY2);
        PyObject *f = (flag == Py_True || flag == Py_False) ? PyDict_GetItemWithError(g_state.dict, g_names.f)
                                                           : nullptr;
        if (!f) {
            PyErr_Clear();  // only a lookup error can be pending here; the full path reports it
            return;
        }
        is_py2_ = flag == Py_True;
        f_ = f;
        mark();
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    static int on_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
        dirty_ = true;
        return 0;
    }
    bool watch() noexcept {
        if (watcher_ == -1) {
            int id = PyDict_AddWatcher(on_change);
            if (id < 0 || PyDict_Watch(id, g_state.dict) < 0) {
                PyErr_Clear();  // no watcher slot left: no cache
                watcher_ = -2;
            } else {
                watcher_ = id;
            }
        }
        return watcher_ >= 0;
    }
    bool changed() const noexcept { return dirty_; }
    void mark() noexcept { dirty_ = false; }
    static inline bool dirty_ = true;
    int watcher_ = -1;  // -2: none to be had
#else
    static uint64_t version() noexcept { return reinterpret_cast<PyDictObject *>(g_state.dict)->ma_version_tag; }
    bool watch() noexcept { return true; }
    bool changed() const noexcept { return version() != version_; }
    void mark() noexcept { version_ = version(); }
    uint64_t version_ = 0;
#endif
    PyObject *f_ = nullptr;  // borrowed from the namespace, which holds it while unchanged
    int is_py2_ = 0;
};

GlobalsCache globals_cache;

/// Builds the two arguments and calls f(msg_type, payload); NULL on failure.
PyObject *deliver(const char *msg_type, const void *data, int data_len) noexcept {
    // A signal that came while the library ran C code has its handler run
    // now, before the event: Ctrl-C raises here when the callable would not.
    if (PyErr_CheckSignals() < 0)
        return nullptr;
    const char *raw = msg_type ? msg_type : "";  // a NULL type is the empty text
    int bytes_type;
    PyObject *f;
    bool cached = globals_cache.get(&bytes_type, &f);
    if (!cached) {
        bytes_type = global_truth(g_names.IS_PY2);
        if (bytes_type < 0)
            return nullptr;
    }
    Ref type = Ref::steal(bytes_type ? PyBytes_FromString(raw) : type_cache.decode(raw));
    if (!type)
        return nullptr;
    if (!cached) {
        f = global(g_names.f);
        if (!f)
            return nullptr;
        globals_cache.refresh();
    }
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
    LibraryCall call;
    call([] { return vyi_stop(); });
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

PyObject *raise_stop() noexcept {
    Ref stop = Ref::steal(t_calls.stop);
    t_calls.stop = nullptr;
    restore_exception(std::move(stop));
    return nullptr;
}

/// The event bridge.  Runs on a thread inside a call from the module into the
/// library, which holds the interpreter lock, or on a thread that holds it
/// while the library calls back outside such a call; an event arriving on
/// any other thread must not touch a Python object and is dropped with a note.
extern "C" void callback_wrapper(const char *msg_type, void *data, int data_len) {
    if (!g_state.dict || (t_calls.depth <= 0 && !holds_interpreter())) {
        std::fprintf(stderr,
                     "c_sdk: event '%.100s' arrived on a thread that does not hold the interpreter "
                     "lock; dropped\n",
                     msg_type ? msg_type : "");
        return;
    }
    Ref result = Ref::steal(deliver(msg_type, data, data_len));
    if (result)
        return;
    // Outside a module call there is no caller to raise a stop in.
    if (t_calls.depth > 0 &&
        (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit)))
        keep_stop();
    else
        report_failure();
}

PyObject *set_data_callback(PyObject *const *objs) noexcept {
    if (PyDict_SetItem(g_state.dict, g_names.f, objs[0]) < 0)
        return nullptr;
    LibraryCall call;
    call([] { vyi_set_event_callback_pb(callback_wrapper); });
    return call.finish(Ref::borrow(Py_None).release());
}

}  // namespace csdk
