// sink.cpp - see sink.h.
#include "sink.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
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
    last_handoff_ = now_ns();
    on_.store(true, std::memory_order_relaxed);  // before the writer looks
    // The writer takes no signals: they stay with the host's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = pthread_create(&writer_, nullptr, &Sink::writer_main, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err) {
        fprintf(stderr, "vy3 recorder: cannot start the writer of %s file %s (%s); %s are not recorded\n", what_,
                path_, strerror(err), what_);
        on_.store(false, std::memory_order_relaxed);
        ::close(fd_);
        fd_ = -1;
        return;
    }
    have_writer_ = true;
}

void Sink::fail_locked(const char *why) {
    if (!on()) return;  // one line per file, whoever notices first
    fprintf(stderr, "vy3 recorder: writing %s file %s failed (%s); recording of %s stopped, calls go on\n", what_,
            path_, why, what_);
    on_.store(false, std::memory_order_relaxed);
    active_.release();
    pending_.release();
    pthread_cond_signal(&wake_);
}

void Sink::handoff_locked(long long now) {
    last_handoff_ = now;
    if (active_.size() == 0) return;
    if (pending_.size() == 0) {
        active_.swap(pending_);
        pthread_cond_signal(&wake_);
    } else if (active_.size() > kMaxBehind) {
        fail_locked("the disk cannot keep up");
    }
    // Otherwise the writer is busy: the lines stay buffered for the next handoff.
}

bool Sink::write_all(const Out &o, const char **why) {
    const char *p = o.data();
    size_t left = o.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = n < 0 ? strerror(errno) : "nothing written";
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

void *Sink::writer_main(void *self) {
    static_cast<Sink *>(self)->writer_loop();
    return nullptr;
}

void Sink::writer_loop() {
    Out writing;
    pthread_mutex_lock(&mu_);
    for (;;) {
        while (on() && !stop_ && pending_.size() == 0) pthread_cond_wait(&wake_, &mu_);
        if (!on() || pending_.size() == 0) break;  // failed, or stopping with nothing left
        pending_.swap(writing);
        pthread_mutex_unlock(&mu_);
        const char *why = nullptr;
        bool ok = write_all(writing, &why);
        writing.clear();
        pthread_mutex_lock(&mu_);
        if (!ok) fail_locked(why);
    }
    pthread_mutex_unlock(&mu_);
    writing.release();
}

void Sink::flush() {
    if (!on()) return;
    pthread_mutex_lock(&mu_);
    if (on()) handoff_locked(now_ns());
    pthread_mutex_unlock(&mu_);
}

void Sink::close() {
    if (!have_writer_) return;
    pthread_mutex_lock(&mu_);
    stop_ = true;
    pthread_cond_signal(&wake_);
    pthread_mutex_unlock(&mu_);
    pthread_join(writer_, nullptr);  // it writes what was handed over first
    pthread_mutex_lock(&mu_);
    have_writer_ = false;
    const char *why = nullptr;
    if (on() && !write_all(active_, &why)) fail_locked(why);
    on_.store(false, std::memory_order_relaxed);
    ::close(fd_);
    fd_ = -1;
    active_.release();
    pending_.release();
    pthread_mutex_unlock(&mu_);
}

}  // namespace recorder
