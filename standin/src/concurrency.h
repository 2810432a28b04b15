// concurrency.h - how many threads are inside the library at once, outside
// the callback: the module keeps the library single-entry (with the GIL, or
// with its own lock on a free-threaded build), except that code run for an
// event may let other threads in.  vys_concurrency_peak() reports the most
// seen since the last reset.
#pragma once

#include <atomic>

namespace standin {

struct Concurrency {
    std::atomic<int> active{0};
    std::atomic<int> peak{0};

    void enter() {
        int now = active.fetch_add(1, std::memory_order_acq_rel) + 1;
        int seen = peak.load(std::memory_order_relaxed);
        while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
        }
    }
    void leave() { active.fetch_sub(1, std::memory_order_acq_rel); }
    void reset() { peak.store(active.load(std::memory_order_relaxed), std::memory_order_relaxed); }
};

Concurrency &concurrency();

// Whether this thread counts as inside the library now: inside an SDK call
// and not in the callback that call is delivering.
extern thread_local bool t_active;

// For the length of one SDK call.
struct ActiveCall {
    bool was = t_active;
    ActiveCall() {
        if (!was) concurrency().enter();
        t_active = true;
    }
    ~ActiveCall() {
        if (!was) concurrency().leave();
        t_active = was;
    }
    ActiveCall(const ActiveCall &) = delete;
    ActiveCall &operator=(const ActiveCall &) = delete;
};

// For the length of one callback: the thread is out of the library meanwhile.
struct InCallback {
    bool was = t_active;
    InCallback() {
        if (was) concurrency().leave();
        t_active = false;
    }
    ~InCallback() {
        if (was) concurrency().enter();
        t_active = was;
    }
    InCallback(const InCallback &) = delete;
    InCallback &operator=(const InCallback &) = delete;
};

}  // namespace standin
