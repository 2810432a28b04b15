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
#pragma once

#include <stddef.h>

#include "out.h"
#include "sink.h"
#include "target.h"

namespace recorder {

struct Recorder {
    Sink events{"events"};
    Sink calls{"calls"};
    std::atomic<EventCallback> module_callback{nullptr};
    std::atomic<long long> next_seq{0};
    long long first_event_ns = -1;  // under the events sink's lock
    std::atomic<bool> warned_type{false};
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

// One overload per C parameter type of the header; a new type fails to
// compile instead of being written wrongly.
void put_text(Out &o, const char *v);
void put_arg(Out &o, const char *v);
void put_arg(Out &o, int v);
void put_arg(Out &o, bool v);
void put_arg(Out &o, double v);
void put_arg(Out &o, EventCallback v);
void put_arg(Out &o, void **v);
void put_arg(Out &o, int *v);
void put_arg(Out &o, char **v);
template <class T> void put_arg(Out &, T) = delete;
void put_req(Out &o, const void *data, int len);

void put_ret(Out &o, int v);
void put_ret(Out &o, long long v);
void put_ret(Out &o, double v);
void put_ret(Out &o, const char *v);
inline void put_ret(Out &, Nothing) {}
void put_outs(Out &o, const Outs &outs);

void begin_line(Out &o, long long seq, Fn f);
void end_line(Out &o);

// Appends one event line (the module's callback is called by the caller).
void record_event(const char *msg_type, const void *data, int data_len);

// At the end of a run and at unload: whatever is buffered goes to the files.
void flush_all();

}  // namespace recorder
