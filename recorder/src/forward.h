// forward.h - the one forwarding body shared by every SDK function.
//
// forward<F, R>(args...) calls the target's function with the same arguments
// (secrets unwrapped, secret.h) and returns its result unchanged. With VY_RECORD_CALLS set, it also writes
// the call, its arguments and its results as one JSON line (record.h). When
// the target lacks the function, the call returns an error status instead.
#pragma once

#include <type_traits>

#include "record.h"

namespace recorder {

// What an unavailable call returns: an error status for statuses, zero for the
// clock readings, an empty text (never NULL) for texts; void calls do nothing.
constexpr int kUnavailableStatus = -1;

// Nesting of forwarded calls on this thread. A call that arrives while the
// thread is already inside the target (and not in the module's callback) is
// the library calling its own export and resolving it to ours: it goes
// straight back to the library, unrecorded.
extern thread_local int t_inside;

struct Inside {
    Inside() { ++t_inside; }
    ~Inside() { --t_inside; }
};

template <class R> struct ResultOf { using type = R; };
template <> struct ResultOf<void> { using type = Nothing; };

template <class R> R unavailable_result();
template <> inline int unavailable_result<int>() { return kUnavailableStatus; }
template <> inline long long unavailable_result<long long>() { return 0; }
template <> inline double unavailable_result<double>() { return 0.0; }
template <> inline const char *unavailable_result<const char *>() { return ""; }
template <> inline Nothing unavailable_result<Nothing>() { return {}; }

// Fills in place: an Outs copied as a whole right after its fields were
// stored one by one would be read back before the stores land.
template <class... A>
void collect_outs(Outs &o, A... args) {
    (o.take(args), ...);
}

// Walks the arguments in order; a void * is always a request and takes the int
// length after it as one element, as in the stand-in's journal.
template <size_t I, class Tuple>
size_t args_room(const Tuple &t) {
    if constexpr (I >= std::tuple_size_v<Tuple>) {
        return 0;
    } else if constexpr (std::is_same_v<std::tuple_element_t<I, Tuple>, void *>) {
        return 1 + bytes_room(std::get<I>(t), std::get<I + 1>(t)) + args_room<I + 2>(t);
    } else {
        return 1 + arg_room(std::get<I>(t)) + args_room<I + 1>(t);
    }
}

template <size_t I, class Tuple>
void put_args_from(Raw &o, const Tuple &t) {
    if constexpr (I < std::tuple_size_v<Tuple>) {
        using T = std::tuple_element_t<I, Tuple>;
        if constexpr (I > 0) o.lit(",");
        if constexpr (std::is_same_v<T, void *>) {
            static_assert(std::is_same_v<std::tuple_element_t<I + 1, Tuple>, int>, "void * without its length");
            put_req(o, std::get<I>(t), std::get<I + 1>(t));
            put_args_from<I + 2>(o, t);
        } else {
            put_arg(o, std::get<I>(t));
            put_args_from<I + 1>(o, t);
        }
    }
}

constexpr size_t const_len(const char *s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// The whole line is bounded first, reserved once, then written unchecked.
template <Fn F, class Result, class... A>
void encode_call(Out &out, long long seq, const Result &result, const Outs &outs, A... args) {
    constexpr const char *name = fn_name(F);
    constexpr size_t name_len = const_len(name);
    const std::tuple<A...> t(args...);
    size_t room = kFieldRoom + name_len + args_room<0>(t) + ret_room(result) + outs_room(outs) + 8;
    if (!out.reserve(room)) return;
    Raw o{out.tail()};
    o.lit("{\"seq\":");
    o.sint(seq);
    o.lit(",\"fn\":\"");
    o.put(name, name_len);  // plain identifiers: nothing to escape
    o.lit("\",\"args\":[");
    put_args_from<0>(o, t);
    o.lit("]");
    put_ret(o, result);
    put_outs(o, outs);
    o.lit("}\n");
    out.commit(o.d);
}

template <Fn F, class Result, class... A>
void record_call(long long seq, const Result &result, const Outs &outs, A... args) {
    g_rec.calls.write([&](Out &o) { encode_call<F>(o, seq, result, outs, args...); });
}

// The call itself; SecretRet says the result is written redacted.
template <Fn F, class R, bool SecretRet, class... A>
R forward_call(A... args) {
    using Result = typename ResultOf<R>::type;
    auto target = reinterpret_cast<R (*)(typename Plain<A>::type...)>(g_target_fns[static_cast<int>(F)]);
    if (t_inside > 0 && target) return target(plain(args)...);

    const bool recording = g_rec.calls.on();
    long long seq = 0;
    Outs outs;
    if (recording) {
        seq = g_rec.next_seq.fetch_add(1, std::memory_order_relaxed);
        collect_outs(outs, args...);
    }
    Result result = [&]() -> Result {
        if (!target) {
            Outs o;
            collect_outs(o, args...);
            if (o.res) *o.res = nullptr;
            if (o.res_len) *o.res_len = 0;
            if (o.text) *o.text = const_cast<char *>("");
            return unavailable_result<Result>();
        }
        Inside inside;
        if constexpr (std::is_void_v<R>) {
            target(plain(args)...);
            return {};
        } else {
            return target(plain(args)...);
        }
    }();
    if (recording) {
        if constexpr (SecretRet)
            record_call<F>(seq, SecretText{result}, outs, args...);
        else
            record_call<F>(seq, result, outs, args...);
    }
    // A run is where events pile up: what it recorded reaches the files now.
    if constexpr (F == Fn::vyi_run) flush_all();
    if constexpr (!std::is_void_v<R>) return result;
}

// The header's argument list, as expanded: secret arguments wrapped, and a
// secret result marked by the SecretResult tag as the only entry.
template <Fn F, class R, class... A>
R forward(A... args) {
    if constexpr (sizeof...(A) == 1 && (std::is_same_v<A, SecretResult> && ...)) {
        static_assert(std::is_same_v<R, const char *>, "only a returned text can be a secret result");
        return forward_call<F, R, true>();
    } else {
        return forward_call<F, R, false>(args...);
    }
}

}  // namespace recorder
