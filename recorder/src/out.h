// out.h - a growable byte buffer for building record lines, on malloc only
// (the recorder has no C++ run-time library).
#pragma once

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace recorder {

// The two base64 digits of every 12-bit value.
struct B64Pairs {
    char pair[4096][2];
    constexpr B64Pairs() : pair() {
        const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int v = 0; v < 4096; ++v) {
            pair[v][0] = a[v >> 6];
            pair[v][1] = a[v & 63];
        }
    }
};
inline constexpr B64Pairs kB64Pairs{};

class Out {
public:
    Out() = default;
    Out(const Out &) = delete;
    Out &operator=(const Out &) = delete;
    // No destructor: the recorder's state outlives every late call at exit;
    // release() frees the memory.

    // False once an allocation failed: the record being built is unusable.
    bool ok() const { return ok_; }
    size_t size() const { return len_; }
    const char *data() const { return p_; }
    void clear() { len_ = 0; }
    void swap(Out &other) {
        Out tmp;
        tmp.take_from(*this);
        take_from(other);
        other.take_from(tmp);
    }
    void release() {
        free(p_);
        p_ = nullptr;
        len_ = cap_ = 0;
    }

    // Room for n more bytes; the raw writers below rely on it.
    bool reserve(size_t n) {
        if (len_ + n <= cap_) return ok_;
        size_t cap = cap_ ? cap_ : 4096;
        while (cap < len_ + n) cap *= 2;
        char *p = static_cast<char *>(realloc(p_, cap));
        if (!p) return ok_ = false;
        p_ = p;
        cap_ = cap;
        return ok_;
    }

    void raw(char c) { p_[len_++] = c; }
    void raw(const char *s, size_t n) {
        memcpy(p_ + len_, s, n);
        len_ += n;
    }

    void put(const char *s, size_t n) {
        if (reserve(n)) raw(s, n);
    }
    template <size_t N>
    void lit(const char (&s)[N]) {
        put(s, N - 1);
    }
    void str(const char *s) { put(s, strlen(s)); }

    void uint(unsigned long long v) {
        char tmp[24];
        int i = sizeof tmp;
        do {
            tmp[--i] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        put(tmp + i, sizeof tmp - static_cast<size_t>(i));
    }
    void sint(long long v) {
        if (v < 0) {
            lit("-");
            uint(0ULL - static_cast<unsigned long long>(v));
        } else {
            uint(static_cast<unsigned long long>(v));
        }
    }
    // Standard base64 with padding: a third more than the bytes, where hex
    // would double them. Two table lookups per three bytes.
    void b64(const void *data, size_t n) {
        if (!reserve((n + 2) / 3 * 4)) return;
        const unsigned char *b = static_cast<const unsigned char *>(data);
        char *d = p_ + len_;
        size_t i = 0;
        for (; i + 3 <= n; i += 3, d += 4) {
            unsigned v = (unsigned{b[i]} << 16) | (unsigned{b[i + 1]} << 8) | b[i + 2];
            memcpy(d, kB64Pairs.pair[v >> 12], 2);
            memcpy(d + 2, kB64Pairs.pair[v & 4095], 2);
        }
        if (i < n) {
            unsigned v = unsigned{b[i]} << 16;
            if (i + 1 < n) v |= unsigned{b[i + 1]} << 8;
            memcpy(d, kB64Pairs.pair[v >> 12], 2);
            d[2] = i + 1 < n ? kB64Pairs.pair[v & 4095][0] : '=';
            d[3] = '=';
            d += 4;
        }
        len_ = static_cast<size_t>(d - p_);
    }
    // Room for n more bytes, written through the returned pointer and then
    // committed with commit(end).
    char *tail() { return p_ + len_; }
    void commit(char *end) { len_ = static_cast<size_t>(end - p_); }

private:
    void take_from(Out &o) {
        p_ = o.p_;
        len_ = o.len_;
        cap_ = o.cap_;
        ok_ = o.ok_;
        o.p_ = nullptr;
        o.len_ = o.cap_ = 0;
        o.ok_ = true;
    }

    char *p_ = nullptr;
    size_t len_ = 0, cap_ = 0;
    bool ok_ = true;
};

}  // namespace recorder
