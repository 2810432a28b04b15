// noop.cpp - a libvy3-c.so for the benchmarks only, that does as little as a
// library can, so that the timings measure the binding and not the stand-in's
// journal and buffer pools.  Built by scripts/bench.sh into a copy of the
// importable tree; never installed or shipped.
//
// Every SDK function is expanded from the header's lists: statuses 0, every
// response the one programmed buffer, every returned or out text "noop", and
// vyi_run() delivers the programmed events through the registered callback.
//
// Control (C linkage, called through ctypes):
//   noop_set_response(data, len)     the response of every call that has one (copied)
//   noop_set_events(type, size, n)   vyi_run() delivers n events of `type`, size bytes each
//   noop_runs()                      how many times vyi_run() has returned
#include <cstdlib>
#include <cstring>

#include "vycsdk.h"

namespace {

const char kText[] = "noop";
char *g_response;
int g_response_len;
char g_type[64] = "tick";
char *g_payload;
int g_payload_len;
int g_events;
int g_runs;
bool g_stop;
EventCallback g_callback;

// Out-parameters, told apart by their type: the response pair and the text.
inline void fill(void **res) { *res = g_response; }
inline void fill(int *res_len) { *res_len = g_response_len; }
inline void fill(char **text) { *text = const_cast<char *>(kText); }
template <class T> inline void fill(T) {}

template <class... A> inline void fill_all(A... a) { (fill(a), ...); }

template <class R> inline R result() { return R(); }
template <> inline const char *result<const char *>() { return kText; }
template <> inline void result<void>() {}

}  // namespace

// One id per typed function, from the same list, so that the few with a
// behaviour of their own (the run loop and its stop) are picked at compile time.
namespace fn {
#define NOOP_ID_(ret, name, params, args) name,
enum Id { VYCSDK_TYPED_FUNCS(NOOP_ID_) };
#undef NOOP_ID_
}  // namespace fn

namespace {

template <fn::Id> struct Behaviour {
    template <class R> static R run() { return result<R>(); }
};

/// vyi_run(): the programmed events, in order, until they run out or
/// vyi_stop() is called from the callback.
template <> struct Behaviour<fn::vyi_run> {
    template <class R> static R run() {
        g_stop = false;
        for (int i = 0; i < g_events && !g_stop && g_callback; ++i)
            g_callback(g_type, g_payload, g_payload_len);
        g_stop = false;
        ++g_runs;
        return 0;
    }
};

template <> struct Behaviour<fn::vyi_stop> {
    template <class R> static R run() {
        g_stop = true;
        return 0;
    }
};

}  // namespace

extern "C" {

#define VISIBLE __attribute__((visibility("default")))

#define NOOP_QUERY_(name)                                     \
    VISIBLE int name(void *, int, void **res, int *res_len) { \
        fill_all(res, res_len);                               \
        return 0;                                             \
    }
#define NOOP_COMMAND_(name) \
    VISIBLE int name(void *, int) { return 0; }
#define NOOP_TYPED_(ret, name, params, args)                \
    VISIBLE ret name params {                               \
        fill_all args;                                      \
        return Behaviour<fn::name>::template run<ret>();    \
    }

VYCSDK_QUERY_FUNCS(NOOP_QUERY_)
VYCSDK_COMMAND_FUNCS(NOOP_COMMAND_)
VYCSDK_TYPED_FUNCS(NOOP_TYPED_)

VISIBLE void vyi_set_event_callback_pb(EventCallback cb) { g_callback = cb; }

// ---- control -----------------------------------------------------------------

VISIBLE int noop_set_response(const void *data, int len) {
    char *copy = static_cast<char *>(std::malloc(len > 0 ? static_cast<size_t>(len) : 1));
    if (!copy)
        return -1;
    if (len > 0)
        std::memcpy(copy, data, static_cast<size_t>(len));
    std::free(g_response);
    g_response = copy;
    g_response_len = len > 0 ? len : 0;
    return 0;
}

VISIBLE int noop_set_events(const char *type, int size, int count) {
    if (!type || std::strlen(type) >= sizeof g_type || size < 0 || count < 0)
        return -1;
    char *payload = static_cast<char *>(std::calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
    if (!payload)
        return -1;
    std::free(g_payload);
    g_payload = payload;
    g_payload_len = size;
    std::strcpy(g_type, type);
    g_events = count;
    return 0;
}

VISIBLE int noop_runs(void) { return g_runs; }

}  // extern "C"
