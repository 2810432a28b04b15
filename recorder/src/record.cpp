// record.cpp - encoding of call lines and event lines.
#include "record.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

namespace recorder {

#if defined(__x86_64__)
// Before this runs (nothing encodes that early) the portable loop is used.
const bool Raw::kHaveSsse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
#endif

// ---- call lines -------------------------------------------------------------

void put_text(Raw &o, const char *v) {
    if (v) {
        o.lit("\"null\":false,\"b64\":\"");
        o.b64(v, strlen(v));
    } else {
        o.lit("\"null\":true,\"b64\":\"");
    }
    o.lit("\"");
}

void put_secret_text(Raw &o, const char *v) {
    if (g_rec.keep_secrets) {
        put_text(o, v);
    } else if (v) {
        o.lit("\"null\":false,\"redacted\":true,\"len\":");
        o.uint(strlen(v));
    } else {
        o.lit("\"null\":true,\"redacted\":true,\"len\":0");
    }
}

// JSON has no NaN or infinities: they travel as strings, as in the journal.
// At most 24 bytes.
void put_double(Raw &o, double v) {
    if (isnan(v)) {
        o.lit("\"nan\"");
    } else if (isinf(v)) {
        if (v > 0)
            o.lit("\"inf\"");
        else
            o.lit("\"-inf\"");
    } else {
        char buf[40];
        int n = snprintf(buf, sizeof buf, "%.17g", v);
        o.put(buf, static_cast<size_t>(n));
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
