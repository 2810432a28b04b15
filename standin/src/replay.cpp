// replay.cpp - reading call files: a small JSON reader for the recorder's
// lines (objects, arrays, strings without escapes beyond the basic ones,
// numbers, true/false/null) and the per-function queues.
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace standin {

namespace {

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool b = false;
    std::string s;  // string, or a number's text
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json *get(const char *key) const {
        for (const auto &m : members)
            if (m.first == key) return &m.second;
        return nullptr;
    }
};

class Reader {
public:
    explicit Reader(const std::string &t) : t_(t) {}

    bool document(Json &out, std::string &why) {
        if (!value(out, 0)) {
            why = why_;
            return false;
        }
        space();
        if (i_ != t_.size()) {
            why = "text after the JSON value";
            return false;
        }
        return true;
    }

private:
    bool fail(const char *why) {
        if (why_.empty()) why_ = why;
        return false;
    }
    void space() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\r')) ++i_;
    }
    bool eat(char c) {
        space();
        if (i_ < t_.size() && t_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool word(const char *w) {
        std::size_t n = std::strlen(w);
        if (t_.compare(i_, n, w) != 0) return false;
        i_ += n;
        return true;
    }
    bool string(std::string &out) {
        if (!eat('"')) return fail("expected a string");
        out.clear();
        while (i_ < t_.size() && t_[i_] != '"') {
            char c = t_[i_++];
            if (c == '\\') {
                if (i_ == t_.size()) return fail("unterminated string");
                char e = t_[i_++];
                switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                default: return fail("unsupported escape in a string");
                }
            } else {
                out += c;
            }
        }
        if (i_ == t_.size()) return fail("unterminated string");
        ++i_;
        return true;
    }
    bool value(Json &v, int depth) {
        if (depth > 16) return fail("nested too deeply");
        space();
        if (i_ == t_.size()) return fail("unexpected end of line");
        char c = t_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Json::kObject;
            if (eat('}')) return true;
            do {
                std::string key;
                if (!string(key)) return false;
                if (!eat(':')) return fail("expected ':'");
                Json m;
                if (!value(m, depth + 1)) return false;
                v.members.emplace_back(std::move(key), std::move(m));
            } while (eat(','));
            return eat('}') || fail("expected ',' or '}'");
        }
        if (c == '[') {
            ++i_;
            v.kind = Json::kArray;
            if (eat(']')) return true;
            do {
                Json item;
                if (!value(item, depth + 1)) return false;
                v.items.push_back(std::move(item));
            } while (eat(','));
            return eat(']') || fail("expected ',' or ']'");
        }
        if (c == '"') {
            v.kind = Json::kString;
            return string(v.s);
        }
        if (word("true") || word("false")) {
            v.kind = Json::kBool;
            v.b = c == 't';
            return true;
        }
        if (word("null")) return true;
        std::size_t start = i_;
        while (i_ < t_.size() && std::strchr("+-0123456789.eE", t_[i_])) ++i_;
        if (i_ == start) return fail("unexpected character");
        v.kind = Json::kNumber;
        v.s = t_.substr(start, i_ - start);
        return true;
    }

    const std::string &t_;
    std::size_t i_ = 0;
    std::string why_;
};

// Standard base64 with padding.
bool from_b64(const std::string &in, std::string &out) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (in.size() % 4) return false;
    out.clear();
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

bool number(const Json *j, long long &out) {
    if (!j || j->kind != Json::kNumber) return false;
    errno = 0;
    char *end;
    out = std::strtoll(j->s.c_str(), &end, 10);
    return !*end && errno == 0;
}

bool real(const Json *j, double &out) {
    if (j && j->kind == Json::kString) {
        if (j->s == "nan") out = NAN;
        else if (j->s == "inf") out = INFINITY;
        else if (j->s == "-inf") out = -INFINITY;
        else return false;
        return true;
    }
    if (!j || j->kind != Json::kNumber) return false;
    char *end;
    out = std::strtod(j->s.c_str(), &end);
    return !*end;
}

// {"null": bool, "b64": "..."} -> a text.
bool text(const Json &j, Text &out) {
    const Json *null = j.get("null");
    const Json *b64 = j.get("b64");
    if (!null || null->kind != Json::kBool) return false;
    out.null = null->b;
    out.s.clear();
    return out.null || (b64 && b64->kind == Json::kString && from_b64(b64->s, out.s));
}

bool set_flag(const Json &j, bool &set) {
    const Json *s = j.get("set");
    if (!s || s->kind != Json::kBool) return false;
    set = s->b;
    return true;
}

bool parse_call(const std::string &line, int &fn, long long &seq, Recorded &r, std::string &why) {
    Json j;
    if (!Reader(line).document(j, why)) return false;
    if (j.kind != Json::kObject) return (why = "not a JSON object", false);
    const Json *name = j.get("fn");
    if (!name || name->kind != Json::kString) return (why = "no \"fn\"", false);
    fn = fn_lookup(name->s.c_str());
    if (fn < 0) return (why = "unknown SDK function " + name->s, false);
    if (!number(j.get("seq"), seq)) return (why = "no \"seq\"", false);
    if (const Json *ret = j.get("ret")) {
        const Json *k = ret->get("k");
        std::string kind = k && k->kind == Json::kString ? k->s : "";
        if (kind == "int") {
            r.ret = Recorded::kInt;
            if (!number(ret->get("v"), r.i)) return (why = "bad \"ret\" value", false);
        } else if (kind == "double") {
            r.ret = Recorded::kDouble;
            if (!real(ret->get("v"), r.d)) return (why = "bad \"ret\" value", false);
        } else if (kind == "text") {
            r.ret = Recorded::kText;
            if (!text(*ret, r.text)) return (why = "bad \"ret\" text", false);
        } else {
            return (why = "unknown \"ret\" kind", false);
        }
    }
    if (const Json *res = j.get("res")) {
        if (!set_flag(*res, r.res_set)) return (why = "bad \"res\"", false);
        if (r.res_set) {
            const Json *null = res->get("null");
            const Json *b64 = res->get("b64");
            long long len;
            if (!null || null->kind != Json::kBool || !number(res->get("len"), len) || len < INT32_MIN ||
                len > INT32_MAX)
                return (why = "bad \"res\"", false);
            if (null->b) {
                r.res.kind = Response::kRaw;
                r.res.null_pointer = true;
                r.res.len = static_cast<int>(len);
            } else if (!b64 || b64->kind != Json::kString || !from_b64(b64->s, r.res.bytes) ||
                       static_cast<long long>(r.res.bytes.size()) != std::max(len, 0LL)) {
                return (why = "bad \"res\" bytes", false);
            }
        }
    }
    if (const Json *out = j.get("out")) {
        if (!set_flag(*out, r.out_set) || (r.out_set && !text(*out, r.out))) return (why = "bad \"out\"", false);
    }
    return true;
}

}  // namespace

void Replay::reset() {
    active_ = false;
    queues_.assign(kFnCount, {});
}

int Replay::load(const char *path, std::string &error) {
    if (!path) return (error = "no call file path", -1);
    std::ifstream in(path, std::ios::binary);
    if (!in) return (error = std::string(path) + ": cannot open: " + std::strerror(errno), -1);
    struct Item {
        long long seq;
        int fn;
        Recorded r;
    };
    std::vector<Item> items;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Item it;
        std::string why;
        if (!parse_call(line, it.fn, it.seq, it.r, why)) {
            error = std::string(path) + ": line " + std::to_string(number) + ": " + why;
            return -1;
        }
        items.push_back(std::move(it));
    }
    // Lines are written as calls return; calls began in seq order.
    std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return a.seq < b.seq; });
    if (queues_.size() != static_cast<std::size_t>(kFnCount)) queues_.assign(kFnCount, {});
    for (auto &it : items) queues_[static_cast<std::size_t>(it.fn)].push_back(std::move(it.r));
    active_ = true;
    return static_cast<int>(items.size());
}

std::optional<Recorded> Replay::next(Fn f) {
    if (!active_) return std::nullopt;
    auto &q = queues_[static_cast<std::size_t>(f)];
    if (q.empty()) return std::nullopt;
    Recorded r = std::move(q.front());
    q.pop_front();
    return r;
}

int Replay::pending() const {
    std::size_t n = 0;
    for (const auto &q : queues_) n += q.size();
    return static_cast<int>(n);
}

}  // namespace standin
