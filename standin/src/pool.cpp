// pool.cpp - see pool.h. A caller that kept a pointer past its lifetime reads
// 0xA5 garbage instead of crashing, which the tests of the module look for.
#include "pool.h"

#include <cstring>

namespace standin {

namespace {

constexpr unsigned char kScribble = 0xA5;
// A retired buffer is reused only once this many of its size class wait
// behind it, so stale pointers show garbage for a good while yet memory stays
// bounded in long runs.
constexpr std::size_t kKeepRetired = 64;
constexpr unsigned kMinClass = 6;  // 64 bytes

unsigned size_class(std::size_t n) {
    unsigned c = kMinClass;
    while ((std::size_t{1} << c) < n) ++c;
    return c;
}

void scribble(Buf *b) {
    std::memset(b->p, kScribble, b->len);
}

}  // namespace

Buf *Pool::acquire(std::size_t n) {
    unsigned c = size_class(n + 1);  // room for a text's NUL; never a zero-size buffer
    if (retired_.size() <= c) retired_.resize(c + 1);
    auto &q = retired_[c];
    if (q.size() > kKeepRetired) {
        Buf *b = q.front();
        q.pop_front();
        return b;
    }
    all_.emplace_back();
    Buf *b = &all_.back();
    b->cap = std::size_t{1} << c;
    b->p = new unsigned char[b->cap];  // owned by the pool for good
    return b;
}

Buf *Pool::take(const void *data, std::size_t n) {
    Buf *b = acquire(n);
    b->len = n;
    if (data && n) std::memcpy(b->p, data, n);
    b->p[n] = 0;
    return b;
}

void Pool::retire(Buf *b) {
    scribble(b);
    retired_[size_class(b->cap)].push_back(b);
}

unsigned char *Pool::hand_out(const void *data, std::size_t n) {
    Buf *b = take(data, n);
    handed_.push_back(b);
    return b->p;
}

unsigned char *Pool::hand_out_filler(std::size_t n) {
    Buf *b = take(nullptr, n);
    std::memset(b->p, kScribble, n);
    handed_.push_back(b);
    return b->p;
}

char *Pool::hand_out_text(const std::string &s) {
    Buf *b = take(s.data(), s.size());
    handed_.push_back(b);
    return reinterpret_cast<char *>(b->p);
}

void Pool::expire_handed() {
    for (Buf *b : handed_) retire(b);
    handed_.clear();
}

}  // namespace standin
