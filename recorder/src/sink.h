// sink.h - one record file, written in batches from whichever thread records.
//
// Lines collect in a buffer that goes to the file when it is large or some
// time has passed, at the end of each run and when the library is unloaded.
// Any failure (the file cannot be opened, a write fails, memory runs out)
// prints one line on stderr and turns the sink off for good: the SDK calls it
// records go on regardless.
#pragma once

#include <pthread.h>

#include <atomic>

#include "out.h"

namespace recorder {

long long now_ns();

class Sink {
public:
    // what names the file in messages ("events", "calls").
    constexpr explicit Sink(const char *what) : what_(what) {}

    // Opens (truncating) the file named by the environment variable env, if set.
    void open_from_env(const char *env);
    bool on() const { return on_.load(std::memory_order_relaxed); }

    // Appends one record built by fill(Out &) under the sink's lock; fill may
    // be given the current time, which the sink reuses to decide on a flush.
    template <class Fill>
    void write(long long now, Fill fill) {
        pthread_mutex_lock(&mu_);
        if (on()) {
            fill(buf_);
            if (!buf_.ok()) {
                fail_locked("out of memory");
            } else if (buf_.size() >= kBatchBytes || now - last_flush_ >= kBatchNs) {
                flush_locked(now);
            }
        }
        pthread_mutex_unlock(&mu_);
    }

    void flush();
    void close();

private:
    static constexpr size_t kBatchBytes = 64 * 1024;
    static constexpr long long kBatchNs = 50 * 1000 * 1000;

    void flush_locked(long long now);
    void fail_locked(const char *why);

    const char *what_;
    char path_[512] = {0};
    int fd_ = -1;
    Out buf_;
    long long last_flush_ = 0;
    std::atomic<bool> on_{false};
    pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
};

}  // namespace recorder
