// call_file.cpp - see call_file.h. The JSON itself is read by nlohmann/json;
// this file checks the shape of each call and decodes its bytes.
#include "call_file.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <type_traits>

#include <nlohmann/json.hpp>

namespace standin {

namespace {

using json = nlohmann::json;

// The recorder nests three levels deep; anything much deeper is not a call.
constexpr int kMaxDepth = 8;
// A redacted text replays as this many '*': secrets are short, and a hostile
// length must not become a huge allocation.
constexpr long long kMaxRedactedLen = 1 << 20;
// Elements whose redaction is remembered (the widest function has 12).
constexpr std::size_t kMaxTrackedArgs = 64;

struct TooDeep : std::exception {
    const char *what() const noexcept override { return "nested too deeply"; }
};

// What each function returns, from the header's lists.
template <class R> constexpr Recorded::Ret ret_kind = Recorded::kInt;  // int, long long
template <> constexpr Recorded::Ret ret_kind<void> = Recorded::kNone;
template <> constexpr Recorded::Ret ret_kind<double> = Recorded::kDouble;
template <> constexpr Recorded::Ret ret_kind<const char *> = Recorded::kText;

#define STANDIN_KIND_(name) Recorded::kInt,
#define STANDIN_KIND_TYPED_(ret, name, params, args) ret_kind<ret>,
constexpr Recorded::Ret kRetKinds[] = {
    VYCSDK_QUERY_FUNCS(STANDIN_KIND_)
    VYCSDK_COMMAND_FUNCS(STANDIN_KIND_)
    VYCSDK_TYPED_FUNCS(STANDIN_KIND_TYPED_)
    Recorded::kNone,  // vyi_set_event_callback_pb
};
#undef STANDIN_KIND_
#undef STANDIN_KIND_TYPED_
static_assert(sizeof(kRetKinds) / sizeof(kRetKinds[0]) == kFnCount, "kind table out of step with Fn");

const char *kind_name(Recorded::Ret k) {
    switch (k) {
    case Recorded::kInt: return "int";
    case Recorded::kDouble: return "double";
    case Recorded::kText: return "text";
    default: return "nothing";
    }
}

// Standard base64 with padding.
bool from_b64(const std::string &in, std::string &out) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (in.size() % 4) return false;
    out.clear();
    out.reserve(in.size() / 4 * 3);
    for (std::size_t i = 0; i < in.size(); i += 4) {
        unsigned v = 0;
        int pad = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            char c = in[i + k];
            std::size_t d = alphabet.find(c);
            if (c == '=' && i + 4 == in.size() && k >= 2) {
                ++pad;
                d = 0;
            } else if (d == std::string::npos || pad) {
                return false;
            }
            v = v << 6 | static_cast<unsigned>(d);
        }
        out += static_cast<char>(v >> 16);
        if (pad < 2) out += static_cast<char>(v >> 8 & 255);
        if (pad < 1) out += static_cast<char>(v & 255);
    }
    return true;
}

const json *member(const json &j, const char *key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

bool flag(const json &j, const char *key, bool &out) {
    const json *v = member(j, key);
    if (!v || !v->is_boolean()) return false;
    out = v->get<bool>();
    return true;
}

bool integer(const json *j, long long lo, long long hi, long long &out) {
    if (!j) return false;
    if (j->is_number_unsigned()) {
        auto u = j->get<unsigned long long>();
        if (u > static_cast<unsigned long long>(hi)) return false;
        out = static_cast<long long>(u);
        return out >= lo;
    }
    if (!j->is_number_integer()) return false;
    out = j->get<long long>();
    return out >= lo && out <= hi;
}

bool string(const json *j, const std::string *&out) {
    if (!j || !j->is_string()) return false;
    out = j->get_ptr<const std::string *>();
    return true;
}

// JSON has no NaN or infinities: they travel as strings.
bool real(const json *j, double &out) {
    const std::string *s;
    if (string(j, s)) {
        if (*s == "nan") out = NAN;
        else if (*s == "inf") out = INFINITY;
        else if (*s == "-inf") out = -INFINITY;
        else return false;
        return true;
    }
    if (!j || !j->is_number()) return false;
    out = j->get<double>();
    return true;
}

// {"null": b, "b64": "..."} or the redacted marker {"null": b, "redacted":
// true, "len": n}; a redacted text replays as n '*'. Sets redacted.
const char *text(const json &j, Text &out, bool &redacted) {
    if (!flag(j, "null", out.null)) return "no \"null\"";
    out.s.clear();
    redacted = false;
    if (const json *r = member(j, "redacted")) {
        if (!r->is_boolean() || !r->get<bool>()) return "bad \"redacted\"";
        long long len;
        if (!integer(member(j, "len"), 0, kMaxRedactedLen, len)) return "bad redacted \"len\"";
        redacted = true;
        if (!out.null) out.s.assign(static_cast<std::size_t>(len), '*');
        return nullptr;
    }
    if (out.null) return nullptr;
    const std::string *b64;
    if (!string(member(j, "b64"), b64) || !from_b64(*b64, out.s)) return "bad base64";
    if (std::memchr(out.s.data(), 0, out.s.size())) return "a NUL inside a text";
    return nullptr;
}

// One element of "args": checked by kind, kept only for its redaction.
std::string arg(const json &a, bool &redacted) {
    redacted = false;
    const std::string *k;
    if (!string(member(a, "k"), k)) return "no \"k\"";
    bool b;
    long long n;
    double d;
    if (*k == "text") {
        Text t;
        const char *why = text(a, t, redacted);
        return why ? why : "";
    }
    if (*k == "int") return integer(member(a, "v"), LLONG_MIN, LLONG_MAX, n) ? "" : "bad \"v\"";
    if (*k == "bool") return flag(a, "v", b) ? "" : "bad \"v\"";
    if (*k == "double") return real(member(a, "v"), d) ? "" : "bad \"v\"";
    if (*k == "out" || *k == "callback") return flag(a, "null", b) ? "" : "no \"null\"";
    if (*k == "req") {
        const std::string *b64;
        std::string bytes;
        if (!flag(a, "null", b)) return "no \"null\"";
        if (!integer(member(a, "len"), INT_MIN, INT_MAX, n)) return "bad \"len\"";
        if (!string(member(a, "b64"), b64) || !from_b64(*b64, bytes)) return "bad base64";
        if (static_cast<long long>(bytes.size()) != (b ? 0 : std::max(n, 0LL))) return "\"len\" does not match the bytes";
        return "";
    }
    return "unknown kind " + json(*k).dump();
}

// "res": {"set": false} or the response (null, len, b64).
const char *response(const json &j, bool &set, Response &r) {
    if (!flag(j, "set", set)) return "bad \"res\"";
    if (!set) return nullptr;
    bool null;
    long long len;
    if (!flag(j, "null", null) || !integer(member(j, "len"), INT_MIN, INT_MAX, len)) return "bad \"res\"";
    const std::string *b64;
    if (!string(member(j, "b64"), b64) || !from_b64(*b64, r.bytes)) return "bad \"res\" bytes";
    if (null || len < 0) {
        // A library breaking its contract: replayed as it was, never read.
        if (!r.bytes.empty()) return "bad \"res\" bytes";
        r.kind = Response::kRaw;
        r.null_pointer = null;
        r.len = static_cast<int>(len);
    } else if (static_cast<long long>(r.bytes.size()) != len) {
        return "bad \"res\" bytes";
    }
    return nullptr;
}

std::string parse_call(const json &j, RecordedCall &c) {
    if (!j.is_object()) return "not a JSON object";
    const std::string *name;
    if (!string(member(j, "fn"), name)) return "no \"fn\"";
    int fn = fn_lookup(name->c_str());
    if (fn < 0 || name->size() != std::strlen(name->c_str())) return "unknown SDK function " + json(*name).dump();
    c.fn = static_cast<Fn>(fn);
    if (!integer(member(j, "seq"), LLONG_MIN, LLONG_MAX, c.seq)) return "no \"seq\"";
    Recorded &r = c.r;
    if (const json *args = member(j, "args")) {
        if (!args->is_array()) return "\"args\" is not a list";
        for (std::size_t i = 0; i < args->size(); ++i) {
            bool redacted;
            std::string why = arg((*args)[i], redacted);
            if (!why.empty()) return "bad argument " + std::to_string(i) + ": " + why;
            if (redacted && i < kMaxTrackedArgs) r.redacted_args |= std::uint64_t{1} << i;
        }
    }
    const Recorded::Ret want = kRetKinds[fn];
    if (const json *ret = member(j, "ret")) {
        const std::string *k;
        if (!string(member(*ret, "k"), k)) return "unknown \"ret\" kind";
        if (*k == "int") r.ret = Recorded::kInt;
        else if (*k == "double") r.ret = Recorded::kDouble;
        else if (*k == "text") r.ret = Recorded::kText;
        else return "unknown \"ret\" kind";
        if (r.ret != want)
            return std::string("\"ret\" is ") + kind_name(r.ret) + ", but " + *name + " returns " + kind_name(want);
        bool redacted;
        if (r.ret == Recorded::kInt && !integer(member(*ret, "v"), LLONG_MIN, LLONG_MAX, r.i)) return "bad \"ret\" value";
        if (r.ret == Recorded::kDouble && !real(member(*ret, "v"), r.d)) return "bad \"ret\" value";
        if (r.ret == Recorded::kText) {
            if (const char *why = text(*ret, r.text, redacted)) return std::string("bad \"ret\" text: ") + why;
        }
    }
    if (const json *res = member(j, "res")) {
        if (const char *why = response(*res, r.res_set, r.res)) return why;
    }
    if (const json *out = member(j, "out")) {
        bool redacted;
        if (!flag(*out, "set", r.out_set) || (r.out_set && text(*out, r.out, redacted))) return "bad \"out\"";
    }
    return "";
}

// nlohmann's message without its own prefix and line (each line is parsed
// on its own): "not JSON (column 5: syntax error while parsing ...)".
std::string syntax_error(const nlohmann::json::parse_error &e) {
    std::string what = e.what();
    std::size_t at = what.find("column ");
    if (at != std::string::npos) what.erase(0, at);
    return "not JSON (" + what + ")";
}

}  // namespace

bool parse_call_text(const std::string &text, std::vector<RecordedCall> &out, std::string &error) {
    std::vector<RecordedCall> calls;
    const json::parser_callback_t limit_depth = [](int depth, json::parse_event_t, json &) {
        if (depth > kMaxDepth) throw TooDeep();
        return true;
    };
    std::size_t pos = 0;
    for (int number = 1; pos < text.size(); ++number) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const char *line = text.data() + pos, *line_end = text.data() + end;
        pos = end + 1;
        if (std::all_of(line, line_end, [](char c) { return c == ' ' || c == '\t' || c == '\r'; })) continue;
        std::string why;
        RecordedCall c;
        try {
            why = parse_call(json::parse(line, line_end, limit_depth), c);
        } catch (const json::parse_error &e) {
            why = syntax_error(e);
        } catch (const std::exception &e) {
            why = e.what();
        }
        if (!why.empty()) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        calls.push_back(std::move(c));
    }
    for (auto &c : calls) out.push_back(std::move(c));
    return true;
}

}  // namespace standin
