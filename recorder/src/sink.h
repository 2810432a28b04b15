// sink.h - one record file, fed from whichever thread records and written by
// a thread of its own, so that the calls being recorded never wait on the disk.
//
// Records are built in a small staging buffer that stays in the calling
// core's cache, and move to the batch buffer in large copies: the batch's
// memory was last read by the writer thread on the other core, and taking it
// back a line per field costs the caller far more than one bulk copy. A batch
// that has grown past its size goes to the writer thread, which writes
// batches in order and recycles them, so a steady session reuses warm memory.
// The batch being filled (with what is staged) goes too at the end of each
// run, at unload, and when the writer has waited kBatchNs for work, so a
// killed process loses little. Any failure (the file cannot be opened, a write
// fails, memory runs out, the writer falls too far behind) prints one line on
// stderr and turns the sink off for good: the SDK calls it records go on
// regardless.
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

    // Opens (truncating) the file and starts its writer; nullptr, or why not
    // (also one line on stderr). A closed sink can be opened again.
    const char *open(const char *path);
    // A file that must not be written: one line on stderr, sink stays off.
    void refuse(const char *path, const char *why);
    bool on() const { return on_.load(std::memory_order_relaxed); }

    // Appends one record built by fill(Out &) under the sink's lock.
    template <class Fill>
    void write(Fill fill) {
        if (!on()) return;
        pthread_mutex_lock(&mu_);
        if (on() && (active_ || take_batch_locked())) {
            fill(stage_);
            if (!stage_.ok())
                fail_locked("out of memory");
            else if (stage_.size() >= kStageBytes && drain_locked() && active_->out.size() >= kBatchBytes)
                handoff_locked();
        }
        pthread_mutex_unlock(&mu_);
    }

    // Hands what is buffered to the writer, without waiting for it.
    void flush();
    // Writes everything out and stops the writer (at unload, and before a
    // recording moves to other files).
    void close();
    // In a child after fork(): the parent's session is not the child's, and
    // neither its writer thread nor perhaps its lock came along.
    void forget() {
        on_.store(false, std::memory_order_relaxed);
        have_writer_ = false;
    }

private:
    struct Batch {
        Batch *next = nullptr;
        Out out;
    };
    static constexpr size_t kBatchBytes = 1024 * 1024;
    static constexpr long kBatchNs = 50 * 1000 * 1000;
    // This many batches waiting means the disk cannot keep up with the session.
    static constexpr int kMaxBatches = 256;

    static void *writer_main(void *self);
    void writer_loop();
    bool take_batch_locked();
    bool drain_locked();
    void handoff_locked();
    void fail_locked(const char *why);
    static void free_list(Batch *b);

    const char *what_;
    char path_[512] = {0};
    int fd_ = -1;
    static constexpr size_t kStageBytes = 32 * 1024;
    Out stage_;                // records not yet in the batch
    Batch *active_ = nullptr;  // being filled
    Batch *queue_ = nullptr;   // handed to the writer, oldest first
    Batch *queue_tail_ = nullptr;
    Batch *spare_ = nullptr;   // written, ready for reuse
    int batches_ = 0;
    bool stop_ = false;
    bool have_writer_ = false;
    pthread_t writer_{};
    std::atomic<bool> on_{false};
    pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake_ = PTHREAD_COND_INITIALIZER;
};

}  // namespace recorder
