/*
 * vystandin.h - control API of the stand-in libvy3-c.so.
 *
 * Tests use these calls to program what the SDK functions return, to queue
 * events for vyi_run(), and to read back the journal of every SDK call.
 * Control calls are not journaled and never scribble handed-out buffers.
 * Function names passed as `fn` are SDK function names ("vyi_get_orders_pb");
 * an unknown name is ignored and reported through vys_last_error().
 */
#ifndef VYSTANDIN_H
#define VYSTANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Back to the initial state: programs, recorded calls, journal, event queue,
 * timers, clock, run-until, inline delivery and the registered callback are
 * all cleared. */
void vys_reset(void);

/* 1 if fn names an SDK function of the stand-in, else 0. */
int vys_is_sdk_function(const char *fn);
/* fn's C result type as the header spells it ("int", "long long", "double",
 * "const char *", "void"); NULL for an unknown name. */
const char *vys_result_type(const char *fn);

/* Programmed results; each replaces the previous program of that kind. */
void vys_set_status(const char *fn, int status);
void vys_set_longlong(const char *fn, long long v);
void vys_set_double(const char *fn, double v);
/* Returned text (and what vyi_get_serv_addr stores in *addr); NULL = return NULL. */
void vys_set_text(const char *fn, const char *text);
/* Response bytes for functions with a (void **res, int *res_len) pair; copied. */
void vys_set_response(const char *fn, const void *data, int len);
/* Contract-breaking response: *res is NULL if null_pointer, else max(len, 0)
 * bytes of 0xA5; *res_len = len. */
void vys_set_response_raw(const char *fn, int null_pointer, int len);

/* Journal: one JSON object text per SDK call, in call order. An entry text is
 * valid until the next control call; NULL for an index out of range. */
int vys_journal_count(void);
const char *vys_journal_entry(int index);
void vys_journal_clear(void);
/* Journaling is on after load and after vys_reset(); off saves time and memory
 * in long benchmarks. */
void vys_set_journaling(int on);

/* Events: queued in FIFO order, delivered by vyi_run() through the registered
 * callback. msg_type NULL and data NULL (with any len) are passed on as given. */
void vys_push_event(long long time_ms, const char *msg_type, const void *data, int len);
/* Appends the events of a file; returns how many, or -1 (nothing queued) with
 * the reason in vys_last_error(). */
int vys_load_event_file(const char *path);
const char *vys_last_error(void);
int vys_pending_events(void);
/* Let timers keep the run going, once the queue is empty, up to this simulated
 * time; a negative value restores the default (the run ends with the queue). */
void vys_set_run_until(long long time_ms);
long long vys_clock(void);

/* Deliver the queued events inside the next call of fn, before it returns;
 * NULL cancels. */
void vys_deliver_inline(const char *fn);
/* Call the registered callback once from a new thread, and join it. */
void vys_deliver_from_thread(const char *msg_type, const void *data, int len);

/* Replay of a recorded session: queues the results of a call file written by
 * the recording library, played back per SDK function in recorded order ahead
 * of the programs; timers start no events while a call file is loaded (the
 * recorded events hold them). Returns how many calls, or -1 (nothing queued)
 * with the reason in vys_last_error(). vys_reset() drops them. */
int vys_load_call_file(const char *path);
/* Recorded results not yet played back. */
int vys_pending_calls(void);

/* The most threads seen inside SDK functions at once, not counting a thread
 * while the callback it is delivering runs (other threads may get in then),
 * since load or the last vys_reset(). 1 for a library kept single-entry. */
int vys_concurrency_peak(void);

#ifdef __cplusplus
}
#endif

#endif /* VYSTANDIN_H */
