// record.h - what the recorder writes: event lines in the stand-in's event
// file format, and one JSON line per SDK call.
//
// A call line carries the arguments by kind as the stand-in journals them
// (but bytes in base64, "b64": a third longer, where hex doubles them),
// then the results:
//
//   {"seq":7,"fn":"vyi_get_orders_pb","args":[{"k":"req",...},...],
//    "ret":{"k":"int","v":0},"res":{"set":true,"null":false,"len":3,"b64":"..."}}
//
// "ret" is absent for void functions; "res" (the void **res, int *res_len
// pair) and "out" (the char ** text of vyi_get_serv_addr) are present where
// the function has them, with "set": false when the library left them as the
// caller had them (nothing is read then). seq numbers calls in the order they
// began; a line is written when its call returns.
//
// A secret (secret.h) is written as a marker that keeps whether it was NULL
// and its length, not its bytes, unless VY_RECORD_SECRETS=keep:
//
//   {"k":"text","null":false,"redacted":true,"len":12}
#pragma once

#include <stddef.h>

#include "out.h"
#include "sink.h"
#include "target.h"

namespace recorder {

struct Recorder {
    // Each on cache lines of its own: the writer threads take the sinks'
    // locks, the calling threads the sequence numbers.
    alignas(64) Sink events{"events"};
    alignas(64) Sink calls{"calls"};
    alignas(64) std::atomic<EventCallback> module_callback{nullptr};
    alignas(64) std::atomic<long long> next_seq{0};
    alignas(64) long long first_event_ns = -1;  // under the events sink's lock
    std::atomic<bool> warned_type{false};
    bool keep_secrets = false;  // VY_RECORD_SECRETS=keep, read at load
};

extern Recorder g_rec;

struct Nothing {};

// Out-parameters of a call, with what the caller had in them beforehand.
struct Outs {
    void **res = nullptr;
    int *res_len = nullptr;
    char **text = nullptr;
    bool has_res = false, has_text = false;
    void *res_before = nullptr;
    int len_before = 0;
    char *text_before = nullptr;

    void take(void **v) { res = v; has_res = true; if (v) res_before = *v; }
    void take(int *v) { res_len = v; has_res = true; if (v) len_before = *v; }
    void take(char **v) { text = v; has_text = true; if (v) text_before = *v; }
    template <class T> void take(T) {}
};

// Room a call line's field takes at most besides its bytes in base64 (the
// longest fixed text plus a number); the whole line is reserved at once and
// written without a bounds check per field.
constexpr size_t kFieldRoom = 64;

inline size_t text_room(const char *v) { return kFieldRoom + (v ? b64_len(strlen(v)) : 0); }
inline size_t bytes_room(const void *p, int len) { return kFieldRoom + (p && len > 0 ? b64_len(static_cast<size_t>(len)) : 0); }
inline size_t arg_room(const char *v) { return text_room(v); }
template <class T> size_t arg_room(T) { return kFieldRoom; }
inline size_t arg_room(Secret<const char *> s) { return text_room(s.v); }
inline size_t ret_room(const char *v) { return text_room(v); }
inline size_t ret_room(SecretText s) { return text_room(s.v); }
template <class T> size_t ret_room(T) { return kFieldRoom; }

// Read only what the library set: a pair left as the caller had it may hold
// anything.
inline bool res_set(const Outs &outs) {
    return outs.res && outs.res_len && (*outs.res != outs.res_before || *outs.res_len != outs.len_before);
}
inline bool out_set(const Outs &outs) { return outs.text && *outs.text != outs.text_before; }
inline size_t outs_room(const Outs &outs) {
    size_t n = 0;
    if (outs.has_res) n += res_set(outs) ? bytes_room(*outs.res, *outs.res_len) : kFieldRoom;
    if (outs.has_text) n += out_set(outs) ? kFieldRoom + text_room(*outs.text) : kFieldRoom;
    return n;
}

void put_text(Raw &o, const char *v);
// put_text, or the redacted marker unless secrets are kept.
void put_secret_text(Raw &o, const char *v);
void put_double(Raw &o, double v);

// One overload per C parameter type of the header; a new type fails to
// compile instead of being written wrongly.
inline void put_arg(Raw &o, const char *v) {
    o.lit("{\"k\":\"text\",");
    put_text(o, v);
    o.lit("}");
}
inline void put_arg(Raw &o, Secret<const char *> s) {
    o.lit("{\"k\":\"text\",");
    put_secret_text(o, s.v);
    o.lit("}");
}
inline void put_arg(Raw &o, int v) {
    o.lit("{\"k\":\"int\",\"v\":");
    o.sint(v);
    o.lit("}");
}
inline void put_arg(Raw &o, bool v) {
    if (v)
        o.lit("{\"k\":\"bool\",\"v\":true}");
    else
        o.lit("{\"k\":\"bool\",\"v\":false}");
}
inline void put_arg(Raw &o, double v) {
    o.lit("{\"k\":\"double\",\"v\":");
    put_double(o, v);
    o.lit("}");
}
inline void put_arg(Raw &o, EventCallback v) {
    if (v)
        o.lit("{\"k\":\"callback\",\"null\":false}");
    else
        o.lit("{\"k\":\"callback\",\"null\":true}");
}
inline void put_out_arg(Raw &o, const void *v) {
    if (v)
        o.lit("{\"k\":\"out\",\"null\":false}");
    else
        o.lit("{\"k\":\"out\",\"null\":true}");
}
inline void put_arg(Raw &o, void **v) { put_out_arg(o, v); }
inline void put_arg(Raw &o, int *v) { put_out_arg(o, v); }
inline void put_arg(Raw &o, char **v) { put_out_arg(o, v); }
template <class T> void put_arg(Raw &, T) = delete;

inline void put_req(Raw &o, const void *data, int len) {
    if (data)
        o.lit("{\"k\":\"req\",\"null\":false,\"len\":");
    else
        o.lit("{\"k\":\"req\",\"null\":true,\"len\":");
    o.sint(len);
    o.lit(",\"b64\":\"");
    if (data && len > 0) o.b64(data, static_cast<size_t>(len));
    o.lit("\"}");
}

inline void put_ret(Raw &o, int v) {
    o.lit(",\"ret\":{\"k\":\"int\",\"v\":");
    o.sint(v);
    o.lit("}");
}
inline void put_ret(Raw &o, long long v) {
    o.lit(",\"ret\":{\"k\":\"int\",\"v\":");
    o.sint(v);
    o.lit("}");
}
inline void put_ret(Raw &o, double v) {
    o.lit(",\"ret\":{\"k\":\"double\",\"v\":");
    put_double(o, v);
    o.lit("}");
}
inline void put_ret(Raw &o, const char *v) {
    o.lit(",\"ret\":{\"k\":\"text\",");
    put_text(o, v);
    o.lit("}");
}
inline void put_ret(Raw &o, SecretText s) {
    o.lit(",\"ret\":{\"k\":\"text\",");
    put_secret_text(o, s.v);
    o.lit("}");
}
inline void put_ret(Raw &, Nothing) {}

inline void put_outs(Raw &o, const Outs &outs) {
    if (outs.has_res) {
        if (!res_set(outs)) {
            o.lit(",\"res\":{\"set\":false}");
        } else {
            const void *p = *outs.res;
            int len = *outs.res_len;
            if (p)
                o.lit(",\"res\":{\"set\":true,\"null\":false,\"len\":");
            else
                o.lit(",\"res\":{\"set\":true,\"null\":true,\"len\":");
            o.sint(len);
            o.lit(",\"b64\":\"");
            if (p && len > 0) o.b64(p, static_cast<size_t>(len));
            o.lit("\"}");
        }
    }
    if (outs.has_text) {
        if (!out_set(outs)) {
            o.lit(",\"out\":{\"set\":false}");
        } else {
            o.lit(",\"out\":{\"set\":true,");
            put_text(o, *outs.text);
            o.lit("}");
        }
    }
}

// Appends one event line (the module's callback is called by the caller).
void record_event(const char *msg_type, const void *data, int data_len);

// At the end of a run and at unload: whatever is buffered goes to the files.
void flush_all();

// Opens the record files given (nullptr: not recorded); false with the first
// problem in why ("calls file P: reason"). The sinks must be closed.
bool open_records(const char *events, const char *calls, char *why, size_t why_size);

}  // namespace recorder
