// call.h - the one recording body shared by every SDK function.
//
// sdk_call<F, R>(args...) journals the call with its arguments decoded by C
// type, computes the programmed result, runs the function's hook (only the
// few functions with behaviour have one), delivers events inline if asked,
// and fills the out-parameters.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "concurrency.h"
#include "fn_table.h"
#include "journal.h"
#include "state.h"

namespace standin {

template <Fn F>
struct FnTag {};

struct Nothing {};

// The result being built, by C return type.
template <class R> struct ResultOf { using type = R; };
template <> struct ResultOf<void> { using type = Nothing; };
template <> struct ResultOf<const char *> { using type = Text; };

// Out-parameters seen in the arguments, filled once the call is done.
struct Outs {
    void **res = nullptr;
    int *res_len = nullptr;
    bool has_res = false;
    char **text = nullptr;
    bool has_text = false;
};

// Where an argument is journaled: the element it is, and the recorded call
// being replayed (whose redacted secrets stay redacted in the journal).
struct ArgContext {
    const Recorded *rec;
    std::size_t element;
};

// One overload per C parameter type found in the header; anything new fails
// to compile instead of being journaled wrongly.
inline void encode(EntryWriter &w, Outs &, const char *v) { w.text(v); }
inline void encode(EntryWriter &w, Outs &, int v) { w.integer(v); }
inline void encode(EntryWriter &w, Outs &, bool v) { w.boolean(v); }
inline void encode(EntryWriter &w, Outs &, double v) { w.real(v); }
inline void encode(EntryWriter &w, Outs &, EventCallback v) { w.callback(v == nullptr); }
inline void encode(EntryWriter &w, Outs &o, void **v) { w.out(v); o.res = v; o.has_res = true; }
inline void encode(EntryWriter &w, Outs &o, int *v) { w.out(v); o.res_len = v; o.has_res = true; }
inline void encode(EntryWriter &w, Outs &o, char **v) { w.out(v); o.text = v; o.has_text = true; }
template <class T> void encode(EntryWriter &, Outs &, T) = delete;
bool recorded_redacted(const Recorded *rec, std::size_t element);
template <class T>
void encode(EntryWriter &w, Outs &o, Secret<T> s, const ArgContext &at) {
    if (recorded_redacted(at.rec, at.element))
        w.redacted_text(s.v);
    else
        encode(w, o, s.v);
}
template <class T>
void encode(EntryWriter &w, Outs &o, T v, const ArgContext &) {
    encode(w, o, v);
}

// Walks the arguments in order; a `void *` is always a request and takes the
// `int` length after it as one journal element.
template <std::size_t I, std::size_t E, class Tuple>
void encode_from(EntryWriter &w, Outs &o, const Tuple &t, const Recorded *rec) {
    if constexpr (I < std::tuple_size_v<Tuple>) {
        using T = std::tuple_element_t<I, Tuple>;
        if constexpr (std::is_same_v<T, void *>) {
            static_assert(std::is_same_v<std::tuple_element_t<I + 1, Tuple>, int>, "void * without its length");
            w.req(std::get<I>(t), std::get<I + 1>(t));
            encode_from<I + 2, E + 1>(w, o, t, rec);
        } else {
            encode(w, o, std::get<I>(t), ArgContext{rec, E});
            encode_from<I + 1, E + 1>(w, o, t, rec);
        }
    }
}

template <class T> T initial_result(Fn f);
template <> inline int initial_result<int>(Fn f) { return state().programs.status(f); }
template <> inline long long initial_result<long long>(Fn f) { return state().programs.longlong(f); }
template <> inline double initial_result<double>(Fn f) { return state().programs.real(f); }
template <> inline Text initial_result<Text>(Fn f) { return state().programs.text(f); }
template <> inline Nothing initial_result<Nothing>(Fn) { return {}; }

// Hooks: the generic one does nothing; the overloads for functions with
// behaviour are exact matches and win. Defined in hooks.cpp.
template <Fn F, class T, class... A>
void hook(FnTag<F>, T &, A...) {}
void hook(FnTag<Fn::vyi_set_event_callback_pb>, Nothing &, EventCallback cb);
void hook(FnTag<Fn::vyi_run>, int &status);
void hook(FnTag<Fn::vyi_stop>, int &status);
void hook(FnTag<Fn::vyi_set_timer>, Nothing &, int interval);
void hook(FnTag<Fn::vyi_user_timer>, int &id, int period, int start_delay);
void hook(FnTag<Fn::vyi_user_timer_stop>, Nothing &, int timer_id);
void hook(FnTag<Fn::vyi_strerror>, Text &text, int errorno);

// Steps of every call that do not depend on the argument types.
void begin_call();
void deliver_inline_if_due(Fn f);
void fill_outs(Fn f, const Outs &o, const Recorded *rec);
// A recorded result replaces the computed one (replay.h).
void apply_recorded(const Recorded &r, int &v);
void apply_recorded(const Recorded &r, long long &v);
void apply_recorded(const Recorded &r, double &v);
void apply_recorded(const Recorded &r, Text &v);
inline void apply_recorded(const Recorded &, Nothing &) {}
const char *hand_out(const Text &t);

template <Fn F, class R, class... A>
R sdk_call_body(A... args) {
    ActiveCall active;
    begin_call();
    // Taken first: the journal entry shows the recorded call's redactions.
    std::optional<Recorded> rec = state().replay.next(F);
    Outs outs;
    {
        EntryWriter w(fn_name(F), journal_enabled());
        encode_from<0, 0>(w, outs, std::tuple<A...>(args...), rec ? &*rec : nullptr);
        if (w.enabled()) journal_append(w.finish());
    }
    using Result = typename ResultOf<R>::type;
    Result result = initial_result<Result>(F);
    hook(FnTag<F>{}, result, plain(args)...);
    if (rec) apply_recorded(*rec, result);
    deliver_inline_if_due(F);
    // Filled last, so buffers handed to nested calls during delivery cannot
    // expire them before the caller sees them.
    if (outs.has_res || outs.has_text) fill_outs(F, outs, rec ? &*rec : nullptr);
    if constexpr (std::is_same_v<Result, Text>)
        return hand_out(result);
    else if constexpr (!std::is_void_v<R>)
        return result;
}

// The header's argument list, as expanded: a secret result's tag (the only
// entry) carries no argument; the recording already says what to return.
template <Fn F, class R, class... A>
R sdk_call(A... args) {
    if constexpr (sizeof...(A) == 1 && (std::is_same_v<A, SecretResult> && ...))
        return sdk_call_body<F, R>();
    else
        return sdk_call_body<F, R>(args...);
}

}  // namespace standin
