// hooks.cpp - the SDK functions that do more than record and return, and the
// type-independent steps of every call.
#include <string>

#include "call.h"

namespace standin {

State &state() {
    // Never destroyed: calls may still arrive during interpreter shutdown, and
    // the pool's buffers stay reachable (not leaks) to the end.
    static State *s = new State;
    return *s;
}

Concurrency &concurrency() {
    static Concurrency *c = new Concurrency;  // never destroyed, like the state
    return *c;
}

thread_local bool t_active = false;

void begin_call() {
    // Whatever the previous call handed out is now stale.
    state().pool.expire_handed();
}

void deliver_inline_if_due(Fn f) {
    State &s = state();
    if (s.inline_fn != static_cast<int>(f)) return;
    s.inline_fn = -1;  // once only, and not again for nested calls of f
    s.loop.drain();
}

const char *hand_out(const Text &t) { return t.null ? nullptr : state().pool.hand_out_text(t.s); }

void fill_outs(Fn f, const Outs &o, const Recorded *rec) {
    State &s = state();
    if (o.has_res) {
        // Always filled, whatever the status: the caller must decide by status.
        Response r = rec && rec->res_set ? rec->res : s.programs.response(f);
        void *p;
        int len;
        if (r.kind == Response::kRaw) {
            p = r.null_pointer ? nullptr : s.pool.hand_out_filler(r.len > 0 ? static_cast<std::size_t>(r.len) : 0);
            len = r.len;
        } else {
            p = s.pool.hand_out(r.bytes.data(), r.bytes.size());
            len = static_cast<int>(r.bytes.size());
        }
        if (o.res) *o.res = p;
        if (o.res_len) *o.res_len = len;
    }
    if (o.has_text && o.text)
        *o.text = const_cast<char *>(hand_out(rec && rec->out_set ? rec->out : s.programs.text(f)));
}

void hook(FnTag<Fn::vyi_set_event_callback_pb>, Nothing &, EventCallback cb) { state().callback = cb; }

void hook(FnTag<Fn::vyi_run>, int &) { state().loop.run(); }

void hook(FnTag<Fn::vyi_stop>, int &) { state().loop.request_stop(); }

// A replay starts no timers: its events already hold the timer events.
void hook(FnTag<Fn::vyi_set_timer>, Nothing &, int interval) {
    if (!state().replay.active()) state().loop.set_periodic(interval);
}

void hook(FnTag<Fn::vyi_user_timer>, int &id, int period, int start_delay) {
    // A programmed status simulates a refusal: returned as is, no timer.
    if (!state().programs.has_status(Fn::vyi_user_timer) && !state().replay.active())
        id = state().loop.add_user_timer(period, start_delay);
}

void hook(FnTag<Fn::vyi_user_timer_stop>, Nothing &, int timer_id) {
    if (!state().replay.active()) state().loop.stop_user_timer(timer_id);
}

void apply_recorded(const Recorded &r, int &v) {
    if (r.ret == Recorded::kInt) v = static_cast<int>(r.i);
}
void apply_recorded(const Recorded &r, long long &v) {
    if (r.ret == Recorded::kInt) v = r.i;
}
void apply_recorded(const Recorded &r, double &v) {
    if (r.ret == Recorded::kDouble) v = r.d;
}
void apply_recorded(const Recorded &r, Text &v) {
    if (r.ret == Recorded::kText) v = r.text;
}

bool recorded_redacted(const Recorded *rec, std::size_t element) {
    return rec && element < 64 && (rec->redacted_args >> element & 1);
}

void hook(FnTag<Fn::vyi_strerror>, Text &text, int errorno) {
    if (!state().programs.has_text(Fn::vyi_strerror)) text = {false, "stand-in error " + std::to_string(errorno)};
}

}  // namespace standin
