// sink.cpp - see sink.h.
#include "sink.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <new>
#include <time.h>
#include <unistd.h>

namespace recorder {

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void Sink::refuse(const char *path, const char *why) {
    fprintf(stderr, "vy3 recorder: not writing %s file %s: %s; %s are not recorded\n", what_, path, why, what_);
}

const char *Sink::open(const char *path) {
    snprintf(path_, sizeof path_, "%s", path);
    stop_ = false;
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        const char *why = strerror(errno);
        fprintf(stderr, "vy3 recorder: cannot open %s file %s (%s); %s are not recorded\n", what_, path_, why, what_);
        return why;
    }
    on_.store(true, std::memory_order_relaxed);  // before the writer looks
    // The writer takes no signals: they stay with the host's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = pthread_create(&writer_, nullptr, &Sink::writer_main, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err) {
        const char *why = strerror(err);
        fprintf(stderr, "vy3 recorder: cannot start the writer of %s file %s (%s); %s are not recorded\n", what_,
                path_, why, what_);
        on_.store(false, std::memory_order_relaxed);
        ::close(fd_);
        fd_ = -1;
        return why;
    }
    have_writer_ = true;
    return nullptr;
}

void Sink::free_list(Batch *b) {
    while (b) {
        Batch *next = b->next;
        b->out.release();
        free(b);
        b = next;
    }
}

void Sink::fail_locked(const char *why) {
    if (!on()) return;  // one line per file, whoever notices first
    fprintf(stderr, "vy3 recorder: writing %s file %s failed (%s); recording of %s stopped, calls go on\n", what_,
            path_, why, what_);
    on_.store(false, std::memory_order_relaxed);
    if (active_) active_->next = nullptr;
    free_list(active_);
    free_list(queue_);
    free_list(spare_);
    active_ = queue_ = queue_tail_ = spare_ = nullptr;
    stage_.clear();
    batches_ = 0;
    pthread_cond_signal(&wake_);
}

bool Sink::take_batch_locked() {
    if (spare_) {
        active_ = spare_;
        spare_ = spare_->next;
    } else if (batches_ >= kMaxBatches) {
        fail_locked("the disk cannot keep up");
        return false;
    } else {
        void *p = malloc(sizeof(Batch));
        if (!p) {
            fail_locked("out of memory");
            return false;
        }
        active_ = new (p) Batch;
        ++batches_;
        // Full size at once: growing by doubling would copy the batch again
        // and again while the writer is behind.
        if (!active_->out.reserve(kBatchBytes + kBatchBytes / 4)) {
            free(p);
            active_ = nullptr;
            --batches_;
            fail_locked("out of memory");
            return false;
        }
    }
    active_->next = nullptr;
    active_->out.clear();
    return true;
}

void Sink::handoff_locked() {
    if (active_ && !drain_locked()) return;
    if (!active_ || active_->out.size() == 0) return;
    if (queue_tail_)
        queue_tail_->next = active_;
    else
        queue_ = active_;
    queue_tail_ = active_;
    active_ = nullptr;
    pthread_cond_signal(&wake_);
}

bool Sink::drain_locked() {
    size_t n = stage_.size();
    if (n == 0) return true;
    if (!active_->out.reserve(n)) {
        fail_locked("out of memory");
        return false;
    }
    char *d = active_->out.tail();
    memcpy(d, stage_.data(), n);
    active_->out.commit(d + n);
    // A record far larger than usual does not keep its memory for the session.
    if (n > 4 * kStageBytes)
        stage_.release();
    else
        stage_.clear();
    return true;
}

void *Sink::writer_main(void *self) {
    static_cast<Sink *>(self)->writer_loop();
    return nullptr;
}

void Sink::writer_loop() {
    pthread_mutex_lock(&mu_);
    for (;;) {
        while (on() && !stop_ && !queue_) {
            // A quiet session still reaches the file: every so often the
            // writer takes the batch being filled itself.
            timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_nsec += kBatchNs;
            if (until.tv_nsec >= 1000000000L) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000L;
            }
            if (pthread_cond_timedwait(&wake_, &mu_, &until) == ETIMEDOUT) handoff_locked();
        }
        if (!on() || !queue_) break;  // failed, or stopping with nothing left
        Batch *batch = queue_;
        queue_ = queue_tail_ = nullptr;
        pthread_mutex_unlock(&mu_);
        const char *why = nullptr;
        Batch *last = batch;
        for (Batch *b = batch; b; b = b->next) {
            last = b;
            const char *p = b->out.data();
            size_t left = why ? 0 : b->out.size();
            while (left > 0) {
                ssize_t k = ::write(fd_, p, left);
                if (k < 0 && errno == EINTR) continue;
                if (k <= 0) {
                    why = k < 0 ? strerror(errno) : "nothing written";
                    break;
                }
                p += k;
                left -= static_cast<size_t>(k);
            }
        }
        pthread_mutex_lock(&mu_);
        if (why) {
            free_list(batch);
            fail_locked(why);
            break;
        }
        last->next = spare_;
        spare_ = batch;
    }
    pthread_mutex_unlock(&mu_);
}

void Sink::flush() {
    if (!on()) return;
    pthread_mutex_lock(&mu_);
    if (on()) handoff_locked();
    pthread_mutex_unlock(&mu_);
}

void Sink::close() {
    if (!have_writer_) return;
    pthread_mutex_lock(&mu_);
    if (on()) handoff_locked();
    stop_ = true;
    pthread_cond_signal(&wake_);
    pthread_mutex_unlock(&mu_);
    pthread_join(writer_, nullptr);  // it writes everything handed over first
    pthread_mutex_lock(&mu_);
    have_writer_ = false;
    on_.store(false, std::memory_order_relaxed);
    ::close(fd_);
    fd_ = -1;
    if (active_) active_->next = nullptr;
    free_list(active_);
    free_list(spare_);
    active_ = spare_ = nullptr;
    batches_ = 0;
    stage_.release();
    pthread_mutex_unlock(&mu_);
}

}  // namespace recorder
