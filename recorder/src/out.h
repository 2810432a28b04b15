// out.h - a growable byte buffer for building record lines, on malloc only
// (the recorder has no C++ run-time library).
#pragma once

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Standard base64 with padding: a third more than the bytes, where hex would
// double them.
constexpr size_t b64_len(size_t n) { return (n + 2) / 3 * 4; }

// Writes into room reserved beforehand for a whole record (Out::reserve then
// Out::tail), so that its fields need no bounds check each.
struct Raw {
    char *d;

    template <size_t N>
    void lit(const char (&s)[N]) {
        memcpy(d, s, N - 1);
        d += N - 1;
    }
    void put(const char *s, size_t n) {
        memcpy(d, s, n);
        d += n;
    }
    // At most 20 bytes, written in place from the last digit.
    void uint(unsigned long long v) {
        int n = 1;
        for (unsigned long long t = v; t >= 10; t /= 10) ++n;
        char *p = d + n;
        d = p;
        do {
            *--p = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
    }
    // At most 20 bytes.
    void sint(long long v) {
        if (v < 0) {
            *d++ = '-';
            uint(0ULL - static_cast<unsigned long long>(v));
        } else {
            uint(static_cast<unsigned long long>(v));
        }
    }
    // b64_len(n) bytes. Through a local pointer: the stores are chars, which
    // may alias d itself and would make it reloaded after each one.
    void b64(const void *data, size_t n) {
        const unsigned char *b = static_cast<const unsigned char *>(data);
        char *p = d;
        size_t i = 0;
#if defined(__x86_64__)
        if (kHaveSsse3) i = b64_ssse3(b, n, p);
        p += i / 3 * 4;
#endif
        for (; i + 3 <= n; i += 3, p += 4) {
            unsigned v = (unsigned{b[i]} << 16) | (unsigned{b[i + 1]} << 8) | b[i + 2];
            memcpy(p, kB64Pairs.pair[v >> 12], 2);
            memcpy(p + 2, kB64Pairs.pair[v & 4095], 2);
        }
        if (i < n) {
            unsigned v = unsigned{b[i]} << 16;
            if (i + 1 < n) v |= unsigned{b[i + 1]} << 8;
            memcpy(p, kB64Pairs.pair[v >> 12], 2);
            p[2] = i + 1 < n ? kB64Pairs.pair[v & 4095][0] : '=';
            p[3] = '=';
            p += 4;
        }
        d = p;
    }

#if defined(__x86_64__)
    static const bool kHaveSsse3;

    // Twelve bytes into sixteen digits per step, while sixteen bytes can be
    // loaded without reading past the data; returns how many bytes it took (a
    // multiple of 3). Each 3-byte group is spread into four 6-bit indices,
    // which are shifted into the alphabet by their range (A-Z, a-z, 0-9, +, /).
    __attribute__((target("ssse3"))) static size_t b64_ssse3(const unsigned char *b, size_t n, char *p) {
        const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
        const __m128i shifts = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
        size_t i = 0;
        for (; i + 16 <= n; i += 12, p += 16) {
            __m128i in = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i)), spread);
            __m128i hi = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
            __m128i lo = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
            __m128i idx = _mm_or_si128(hi, lo);
            __m128i range = _mm_subs_epu8(idx, _mm_set1_epi8(51));
            range = _mm_or_si128(range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), idx), _mm_set1_epi8(13)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm_add_epi8(idx, _mm_shuffle_epi8(shifts, range)));
        }
        return i;
    }
#endif
};

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

    void uint(unsigned long long v);
    void sint(long long v);
    void b64(const void *data, size_t n);
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

inline void Out::uint(unsigned long long v) {
    if (!reserve(20)) return;
    Raw r{tail()};
    r.uint(v);
    commit(r.d);
}
inline void Out::sint(long long v) {
    if (!reserve(21)) return;
    Raw r{tail()};
    r.sint(v);
    commit(r.d);
}
inline void Out::b64(const void *data, size_t n) {
    if (!reserve(b64_len(n))) return;
    Raw r{tail()};
    r.b64(data, n);
    commit(r.d);
}

}  // namespace recorder
