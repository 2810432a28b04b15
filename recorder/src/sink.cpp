// sink.cpp - see sink.h.
#include "sink.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace recorder {

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void Sink::open_from_env(const char *env) {
    const char *path = getenv(env);
    if (!path || !*path) return;
    snprintf(path_, sizeof path_, "%s", path);
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        fprintf(stderr, "vy3 recorder: cannot open %s file %s (%s); %s are not recorded\n", what_, path_,
                strerror(errno), what_);
        return;
    }
    last_flush_ = now_ns();
    on_.store(true, std::memory_order_relaxed);
}

void Sink::fail_locked(const char *why) {
    fprintf(stderr, "vy3 recorder: writing %s file %s failed (%s); recording of %s stopped, calls go on\n", what_,
            path_, why, what_);
    on_.store(false, std::memory_order_relaxed);
    buf_.release();
}

void Sink::flush_locked(long long now) {
    last_flush_ = now;
    const char *p = buf_.data();
    size_t left = buf_.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fail_locked(n < 0 ? strerror(errno) : "nothing written");
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    buf_.clear();
}

void Sink::flush() {
    pthread_mutex_lock(&mu_);
    if (on()) flush_locked(now_ns());
    pthread_mutex_unlock(&mu_);
}

void Sink::close() {
    pthread_mutex_lock(&mu_);
    if (on()) flush_locked(now_ns());
    on_.store(false, std::memory_order_relaxed);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buf_.release();
    pthread_mutex_unlock(&mu_);
}

}  // namespace recorder
