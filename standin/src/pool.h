// pool.h - buffers handed to the caller: scribbled when they expire, never freed.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace standin {

struct Buf {
    unsigned char *p = nullptr;
    std::size_t cap = 0;
    std::size_t len = 0;  // bytes in use; p[len] is a NUL that scribbling keeps,
                          // so a stale text reader stops at the old end
};

class Pool {
public:
    // Buffers valid until the next SDK call (responses, returned texts).
    unsigned char *hand_out(const void *data, std::size_t n);
    // n bytes of 0xA5, for contract-breaking responses.
    unsigned char *hand_out_filler(std::size_t n);
    char *hand_out_text(const std::string &s);
    // Scribble everything handed out since the previous call.
    void expire_handed();

    // Buffers whose lifetime the caller ends with retire() (event payloads).
    Buf *take(const void *data, std::size_t n);
    void retire(Buf *b);

private:
    Buf *acquire(std::size_t n);

    std::deque<Buf> all_;  // stable addresses; memory stays mapped for stale readers
    std::vector<Buf *> handed_;
    std::vector<std::deque<Buf *>> retired_;  // by size class, oldest first
};

}  // namespace standin
