// exports.cpp - every SDK function of the header, expanded from its lists onto
// the forwarding body, and the event callback the recorder puts between the
// library and the module.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <tuple>

#include "forward.h"

#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))

using recorder::Fn;
using recorder::forward;

#define RECORDER_DEFINE_QUERY_(name)                                              \
    RECORDER_EXPORT int name(void *req, int req_len, void **res, int *res_len) { \
        return forward<Fn::name, int>(req, req_len, res, res_len);                \
    }
#define RECORDER_DEFINE_COMMAND_(name) \
    RECORDER_EXPORT int name(void *req, int req_len) { return forward<Fn::name, int>(req, req_len); }
// `args` is the parenthesised argument list, so it closes the call itself.
#define RECORDER_DEFINE_TYPED_(ret, name, params, args) \
    RECORDER_EXPORT ret name params { return forward<Fn::name, ret> args; }

VYCSDK_QUERY_FUNCS(RECORDER_DEFINE_QUERY_)
VYCSDK_COMMAND_FUNCS(RECORDER_DEFINE_COMMAND_)
VYCSDK_TYPED_FUNCS(RECORDER_DEFINE_TYPED_)

namespace recorder {

thread_local int t_inside = 0;
// Constant-initialised (no constructor runs), so it is ready before recorder_load.
Recorder g_rec;

namespace {

// Runs on the library's delivering thread, inside a call into it: the event is
// written first, then handed to the module's callback unchanged.
void on_event(const char *msg_type, void *data, int data_len) {
    if (g_rec.events.on()) record_event(msg_type, data, data_len);
    EventCallback cb = g_rec.module_callback.load(std::memory_order_acquire);
    if (!cb) return;
    // The module may call back into the library from here: those calls are
    // its own, to be forwarded and recorded.
    int saved = t_inside;
    t_inside = 0;
    cb(msg_type, data, data_len);
    t_inside = saved;
}

void forget_in_child() {
    g_rec.events.forget();
    g_rec.calls.forget();
}

const char *env(const char *name) {
    const char *v = getenv(name);
    return v && *v ? v : nullptr;
}

// Whether two paths name one file (an existing one compared by identity).
bool same_file(const char *a, const char *b) {
    if (!a || !b) return false;
    if (strcmp(a, b) == 0) return true;
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Why a record file must not be opened (truncated), or nullptr.
const char *forbidden(const char *path, const char *target) {
    Dl_info self;
    if (dladdr(reinterpret_cast<void *>(&env), &self) && same_file(path, self.dli_fname))
        return "it is the recorder itself";
    if (same_file(path, target)) return "it is VY_RECORD_TARGET";
    return nullptr;
}

void open_sinks() {
    char why[512];
    open_records(env("VY_RECORD_EVENTS"), env("VY_RECORD_CALLS"), why, sizeof why);
}

__attribute__((constructor)) void recorder_load() {
    // Recordings are shared: secrets stay out unless their owner asks.
    const char *secrets = env("VY_RECORD_SECRETS");
    g_rec.keep_secrets = secrets && strcmp(secrets, "keep") == 0;
    open_sinks();
    pthread_atfork(nullptr, nullptr, &forget_in_child);
    load_target();
}

__attribute__((destructor)) void recorder_unload() {
    g_rec.events.close();
    g_rec.calls.close();
}

}  // namespace

// Opens the record files, refusing the mistakes that would destroy a file:
// truncating a library, or both records into one file.
bool open_records(const char *events, const char *calls, char *why, size_t why_size) {
    const char *target = env("VY_RECORD_TARGET");
    why[0] = 0;
    auto failed = [&](const char *what, const char *path, const char *reason) {
        if (!why[0]) snprintf(why, why_size, "%s file %s: %s", what, path, reason);
    };
    if (events) {
        if (const char *r = forbidden(events, target)) {
            g_rec.events.refuse(events, r);
            failed("events", events, r);
        } else if (const char *e = g_rec.events.open(events)) {
            failed("events", events, e);
        }
    }
    if (calls) {
        const char *r = forbidden(calls, target);
        if (!r && same_file(calls, events)) r = "it is the events file too";
        if (r) {
            g_rec.calls.refuse(calls, r);
            failed("calls", calls, r);
        } else if (const char *e = g_rec.calls.open(calls)) {
            failed("calls", calls, e);
        }
    }
    return !why[0];
}

void flush_all() {
    g_rec.events.flush();
    g_rec.calls.flush();
}

}  // namespace recorder

// Not table-driven because the library gets the recorder's own callback, which
// passes each event on to the one the module gave.
RECORDER_EXPORT void vyi_set_event_callback_pb(EventCallback cb) {
    using namespace recorder;
    if (t_inside > 0) {
        // The library registering through our export: keep it out of the way.
        auto target = reinterpret_cast<void (*)(EventCallback)>(g_target_fns[static_cast<int>(Fn::vyi_set_event_callback_pb)]);
        if (target) target(cb);
        return;
    }
    g_rec.module_callback.store(cb, std::memory_order_release);
    // NULL stays NULL, so the library stops delivering when the module asks it to.
    forward<Fn::vyi_set_event_callback_pb, void>(cb ? &on_event : static_cast<EventCallback>(nullptr));
}
