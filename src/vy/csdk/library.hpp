// library.hpp - the one way into the SDK library: every call the module makes
// into it (the calling shapes, the named bodies, the direct exports and the
// event bridge's own calls) runs inside a LibraryCall scope.
//
// The scope keeps a count, per thread, of the calls in progress from the
// module into the library.  The module makes them holding the interpreter
// lock, so an event that arrives on a thread with a count above zero may run
// Python code there; the bridge decides with it at once, and whatever the
// process did before (sub-interpreters switch off the interpreter's own
// check for good) cannot change the answer.
//
// On a free-threaded build the scope also holds the library's lock and
// detaches the thread while it is inside (below); on GIL builds it is the
// count alone.
//
// The scope also carries a stop back to its caller: a KeyboardInterrupt or
// SystemExit raised while an event was handled is kept by the bridge, which
// asks the library to stop, and the module call the library was executing
// raises it once the library returns, instead of returning its result.
#ifndef CSDK_LIBRARY_HPP
#define CSDK_LIBRARY_HPP

#include "ref.hpp"

namespace csdk {

/// What one thread knows of its own calls into the library.  Plain data with
/// static TLS: read on every call, so no lazy-initialisation wrapper and no
/// __tls_get_addr.
struct ThreadCalls {
    int depth;        // calls from the module into the library in progress
    int stop_depth;   // the depth of the call the library was executing when `stop` came
    PyObject *stop;   // owned: the KeyboardInterrupt or SystemExit to raise
#ifdef Py_GIL_DISABLED
    PyThreadState *detached;  // the state the innermost call detached, for the bridge
#endif
};
extern __thread ThreadCalls t_calls __attribute__((tls_model("initial-exec")));

/// Raises the kept stop exception (it takes the place of any other).
PyObject *raise_stop() noexcept;

#ifdef Py_GIL_DISABLED
// Without the GIL the library would be entered by several threads at once.
// This lock keeps it single-entry as the GIL did: held from just before a
// call into the library until what it handed back has been copied, let go
// by the bridge while Python code runs for an event (other threads may get
// in then, as they could under the GIL) and taken back before the bridge
// returns to the library.  A thread waits for it detached.
extern PyMutex g_library_lock;

/// The thread's state detached while it is inside the library, so that a
/// long run stalls no other thread (nor the collector); attached again on
/// the way out, and by the bridge for an event.
class Detached {
public:
    Detached() noexcept : outer_(t_calls.detached), state_(PyEval_SaveThread()) { t_calls.detached = state_; }
    ~Detached() {
        t_calls.detached = outer_;
        PyEval_RestoreThread(state_);
    }
    Detached(const Detached &) = delete;
    Detached &operator=(const Detached &) = delete;

private:
    PyThreadState *outer_, *state_;
};
#endif

class LibraryCall {
public:
    LibraryCall() noexcept {
        ++t_calls.depth;
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&g_library_lock);
        locked_ = true;
#endif
    }
    ~LibraryCall() {
        copied();
        --t_calls.depth;
    }
    LibraryCall(const LibraryCall &) = delete;
    LibraryCall &operator=(const LibraryCall &) = delete;

    /// Runs the library function call `f` (a lambda around it).
    template <class F>
    decltype(auto) operator()(F &&f) noexcept {
#ifdef Py_GIL_DISABLED
        Detached inside;
#endif
        return f();
    }

    /// From here on nothing the library handed back is read any more; Python
    /// code that the result's conversion may run comes after this.
    void copied() noexcept {
#ifdef Py_GIL_DISABLED
        if (locked_) {
            locked_ = false;
            PyMutex_Unlock(&g_library_lock);
        }
#endif
    }

    /// The call's Python result, or the stop an event asked for: a stop kept
    /// at this depth or deeper (a deeper scope always finishes first) is
    /// raised in place of the result.
    PyObject *finish(PyObject *result) noexcept {
        copied();
        if (__builtin_expect(t_calls.stop != nullptr, 0) && t_calls.stop_depth >= t_calls.depth) {
            Ref dropped = Ref::steal(result);
            return raise_stop();
        }
        return result;
    }

private:
#ifdef Py_GIL_DISABLED
    bool locked_ = false;
#endif
};

}  // namespace csdk

#endif  // CSDK_LIBRARY_HPP
