// record.cpp - encoding of call lines and event lines.
#include "record.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

namespace recorder {

// ---- call lines -------------------------------------------------------------

void begin_line(Out &o, long long seq, Fn f) {
    o.lit("{\"seq\":");
    o.sint(seq);
    o.lit(",\"fn\":\"");
    o.str(fn_name(f));  // plain identifiers: nothing to escape
    o.lit("\",\"args\":[");
}

void end_line(Out &o) { o.lit("}\n"); }

void put_text(Out &o, const char *v) {
    o.str(v ? "\"null\":false,\"b64\":\"" : "\"null\":true,\"b64\":\"");
    if (v) o.b64(v, strlen(v));
    o.lit("\"");
}

void put_arg(Out &o, const char *v) {
    o.lit("{\"k\":\"text\",");
    put_text(o, v);
    o.lit("}");
}

void put_arg(Out &o, int v) {
    o.lit("{\"k\":\"int\",\"v\":");
    o.sint(v);
    o.lit("}");
}

void put_arg(Out &o, bool v) { o.str(v ? "{\"k\":\"bool\",\"v\":true}" : "{\"k\":\"bool\",\"v\":false}"); }

namespace {

// JSON has no NaN or infinities: they travel as strings, as in the journal.
void put_double(Out &o, double v) {
    if (isnan(v)) {
        o.lit("\"nan\"");
    } else if (isinf(v)) {
        o.str(v > 0 ? "\"inf\"" : "\"-inf\"");
    } else {
        char buf[40];
        int n = snprintf(buf, sizeof buf, "%.17g", v);
        o.put(buf, static_cast<size_t>(n));
    }
}

void put_null_kind(Out &o, const char *kind, bool null) {
    o.lit("{\"k\":\"");
    o.str(kind);
    o.str(null ? "\",\"null\":true}" : "\",\"null\":false}");
}

}  // namespace

void put_arg(Out &o, double v) {
    o.lit("{\"k\":\"double\",\"v\":");
    put_double(o, v);
    o.lit("}");
}

void put_arg(Out &o, EventCallback v) { put_null_kind(o, "callback", v == nullptr); }
void put_arg(Out &o, void **v) { put_null_kind(o, "out", v == nullptr); }
void put_arg(Out &o, int *v) { put_null_kind(o, "out", v == nullptr); }
void put_arg(Out &o, char **v) { put_null_kind(o, "out", v == nullptr); }

void put_req(Out &o, const void *data, int len) {
    o.str(data ? "{\"k\":\"req\",\"null\":false,\"len\":" : "{\"k\":\"req\",\"null\":true,\"len\":");
    o.sint(len);
    o.lit(",\"b64\":\"");
    if (data && len > 0) o.b64(data, static_cast<size_t>(len));
    o.lit("\"}");
}

void put_ret(Out &o, int v) {
    o.lit(",\"ret\":{\"k\":\"int\",\"v\":");
    o.sint(v);
    o.lit("}");
}

void put_ret(Out &o, long long v) {
    o.lit(",\"ret\":{\"k\":\"int\",\"v\":");
    o.sint(v);
    o.lit("}");
}

void put_ret(Out &o, double v) {
    o.lit(",\"ret\":{\"k\":\"double\",\"v\":");
    put_double(o, v);
    o.lit("}");
}

void put_ret(Out &o, const char *v) {
    o.lit(",\"ret\":{\"k\":\"text\",");
    put_text(o, v);
    o.lit("}");
}

void put_outs(Out &o, const Outs &outs) {
    if (outs.has_res) {
        // Read only what the library set: a pair left as the caller had it
        // may hold anything.
        bool set = outs.res && outs.res_len && (*outs.res != outs.res_before || *outs.res_len != outs.len_before);
        if (!set) {
            o.lit(",\"res\":{\"set\":false}");
        } else {
            const void *p = *outs.res;
            int len = *outs.res_len;
            o.str(p ? ",\"res\":{\"set\":true,\"null\":false,\"len\":" : ",\"res\":{\"set\":true,\"null\":true,\"len\":");
            o.sint(len);
            o.lit(",\"b64\":\"");
            if (p && len > 0) o.b64(p, static_cast<size_t>(len));
            o.lit("\"}");
        }
    }
    if (outs.has_text) {
        bool set = outs.text && *outs.text != outs.text_before;
        if (!set) {
            o.lit(",\"out\":{\"set\":false}");
        } else {
            o.lit(",\"out\":{\"set\":true,");
            put_text(o, *outs.text);
            o.lit("}");
        }
    }
}

// ---- event lines ------------------------------------------------------------

namespace {

// How each byte is written in a payload: itself, a backslash escape, or \xHH;
// four bytes are always copied and n of them kept.
struct Escape {
    char s[4];
    unsigned char n;
};
struct EscapeTable {
    Escape e[256];
    constexpr EscapeTable() : e() {
        const char digits[] = "0123456789abcdef";
        for (int c = 0; c < 256; ++c) {
            if (c >= 0x20 && c < 0x7f) {
                e[c] = {{static_cast<char>(c), 0, 0, 0}, 1};
            } else {
                e[c] = {{'\\', 'x', digits[c >> 4], digits[c & 15]}, 4};
            }
        }
        e[static_cast<int>('\\')] = {{'\\', '\\', 0, 0}, 2};
        e[static_cast<int>('\n')] = {{'\\', 'n', 0, 0}, 2};
        e[static_cast<int>('\r')] = {{'\\', 'r', 0, 0}, 2};
        e[static_cast<int>('\t')] = {{'\\', 't', 0, 0}, 2};
        e[0] = {{'\\', '0', 0, 0}, 2};
    }
};
constexpr EscapeTable kEscape;

void put_payload(Out &o, const unsigned char *p, size_t n) {
    if (!o.reserve(4 * n)) return;
    char *d = o.tail();
    for (size_t i = 0; i < n; ++i) {
        const Escape &e = kEscape.e[p[i]];
        memcpy(d, e.s, 4);
        d += e.n;
    }
    o.commit(d);
}

// The event file holds a message type as a run of printable, non-space bytes.
bool type_fits(const char *t) {
    if (!t || !*t) return false;
    for (; *t; ++t) {
        unsigned char c = static_cast<unsigned char>(*t);
        if (c <= 0x20 || c == 0x7f) return false;
    }
    return true;
}

}  // namespace

void record_event(const char *msg_type, const void *data, int data_len) {
    long long now = now_ns();
    bool fits = type_fits(msg_type);
    g_rec.events.write([&](Out &o) {
        if (g_rec.first_event_ns < 0) g_rec.first_event_ns = now;
        long long ms = (now - g_rec.first_event_ns) / 1000000;
        if (!fits) {
            // Kept visible in the file, though it cannot be replayed.
            o.lit("# ");
            o.sint(ms);
            o.lit(" event left out: its message type cannot be written in this format\n");
            return;
        }
        o.sint(ms);
        o.lit(" ");
        o.str(msg_type);
        o.lit(" ");
        // A NULL or negative payload breaks the library's contract; it is
        // written empty rather than read.
        if (data && data_len > 0) put_payload(o, static_cast<const unsigned char *>(data), static_cast<size_t>(data_len));
        o.lit("\n");
    });
    if (!fits && !g_rec.warned_type.exchange(true))
        fprintf(stderr, "vy3 recorder: an event whose message type the event file cannot hold was left out\n");
}

}  // namespace recorder
