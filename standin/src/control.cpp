// control.cpp - the vys_* control API (see vystandin.h). Control calls do not
// journal and do not expire handed-out buffers.
#include "vystandin.h"

#include <cstdio>
#include <thread>
#include <vector>

#include "concurrency.h"
#include "event_file.h"
#include "export.h"
#include "journal.h"
#include "state.h"

using namespace standin;

namespace {

// A misspelt name would otherwise program nothing and pass silently.
bool lookup(const char *fn, Fn &f) {
    int i = fn_lookup(fn);
    if (i < 0) {
        state().last_error = std::string("unknown SDK function: ") + (fn ? fn : "(null)");
        std::fprintf(stderr, "vystandin: %s\n", state().last_error.c_str());
        return false;
    }
    f = static_cast<Fn>(i);
    return true;
}

}  // namespace

STANDIN_EXPORT void vys_reset(void) {
    State &s = state();
    s.programs.reset();
    s.replay.reset();
    s.loop.reset();
    s.callback = nullptr;
    s.inline_fn = -1;
    s.last_error.clear();
    concurrency().reset();
    journal_clear();
    journal_set_enabled(true);
}

STANDIN_EXPORT int vys_is_sdk_function(const char *fn) { return fn_lookup(fn) >= 0; }

STANDIN_EXPORT const char *vys_result_type(const char *fn) {
    int i = fn_lookup(fn);
    return i < 0 ? nullptr : fn_result_type(static_cast<Fn>(i));
}

STANDIN_EXPORT void vys_set_status(const char *fn, int status) {
    Fn f;
    if (lookup(fn, f)) state().programs.set_status(f, status);
}

STANDIN_EXPORT void vys_set_longlong(const char *fn, long long v) {
    Fn f;
    if (lookup(fn, f)) state().programs.set_longlong(f, v);
}

STANDIN_EXPORT void vys_set_double(const char *fn, double v) {
    Fn f;
    if (lookup(fn, f)) state().programs.set_double(f, v);
}

STANDIN_EXPORT void vys_set_text(const char *fn, const char *text) {
    Fn f;
    if (lookup(fn, f)) state().programs.set_text(f, text ? Text{false, text} : Text{true, {}});
}

STANDIN_EXPORT void vys_set_response(const char *fn, const void *data, int len) {
    Fn f;
    if (!lookup(fn, f)) return;
    Response r;
    if (data && len > 0) r.bytes.assign(static_cast<const char *>(data), static_cast<std::size_t>(len));
    state().programs.set_response(f, std::move(r));
}

STANDIN_EXPORT void vys_set_response_raw(const char *fn, int null_pointer, int len) {
    Fn f;
    if (!lookup(fn, f)) return;
    Response r;
    r.kind = Response::kRaw;
    r.null_pointer = null_pointer != 0;
    r.len = len;
    state().programs.set_response(f, std::move(r));
}

STANDIN_EXPORT int vys_journal_count(void) { return static_cast<int>(journal_count()); }

STANDIN_EXPORT const char *vys_journal_entry(int index) {
    State &s = state();
    if (index < 0 || !journal_entry(static_cast<std::size_t>(index), s.entry)) return nullptr;
    return s.entry.c_str();
}

STANDIN_EXPORT void vys_journal_clear(void) { journal_clear(); }

STANDIN_EXPORT void vys_set_journaling(int on) { journal_set_enabled(on != 0); }

STANDIN_EXPORT void vys_push_event(long long time_ms, const char *msg_type, const void *data, int len) {
    state().loop.push(make_event(time_ms, msg_type, data, len));
}

STANDIN_EXPORT int vys_load_event_file(const char *path) {
    std::vector<Event> events;
    std::string error;
    if (!load_event_file(path, events, error)) {
        state().last_error = error;
        return -1;
    }
    for (auto &e : events) state().loop.push(std::move(e));
    return static_cast<int>(events.size());
}

STANDIN_EXPORT const char *vys_last_error(void) { return state().last_error.c_str(); }

STANDIN_EXPORT int vys_pending_events(void) { return static_cast<int>(state().loop.pending()); }

STANDIN_EXPORT void vys_set_run_until(long long time_ms) { state().loop.set_run_until(time_ms); }

STANDIN_EXPORT long long vys_clock(void) { return state().loop.clock(); }

STANDIN_EXPORT void vys_deliver_inline(const char *fn) {
    Fn f;
    if (!fn)
        state().inline_fn = -1;
    else if (lookup(fn, f))
        state().inline_fn = static_cast<int>(f);
}

STANDIN_EXPORT void vys_deliver_from_thread(const char *msg_type, const void *data, int len) {
    EventCallback cb = state().callback;
    if (!cb) return;
    // Copies owned here, not by the pool: the pool belongs to the main thread.
    Event e = make_event(0, msg_type, data, len);
    std::vector<unsigned char> payload(e.data.begin(), e.data.end());
    payload.push_back(0);
    std::thread t([&] {
        cb(e.type_null ? nullptr : e.type.c_str(), e.data_null ? nullptr : payload.data(), e.len);
    });
    t.join();
}

STANDIN_EXPORT int vys_concurrency_peak(void) { return concurrency().peak.load(std::memory_order_relaxed); }
