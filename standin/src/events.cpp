// events.cpp - run loop. Events are delivered in the order they were queued;
// the clock only moves forward, so an event stamped earlier than the clock is
// delivered at the clock. Queued events win ties against timers.
#include "events.h"

#include <algorithm>

#include "concurrency.h"
#include "state.h"

namespace standin {

Event make_event(long long time_ms, const char *type, const void *data, int len) {
    Event e;
    e.time_ms = time_ms;
    e.type_null = type == nullptr;
    if (type) e.type = type;
    e.data_null = data == nullptr;
    if (data && len > 0) e.data.assign(static_cast<const char *>(data), static_cast<std::size_t>(len));
    e.len = len;
    return e;
}

void deliver(const Event &e) {
    State &s = state();
    EventCallback cb = s.callback;
    if (!cb) return;
    Buf *type = e.type_null ? nullptr : s.pool.take(e.type.data(), e.type.size());
    Buf *data = e.data_null ? nullptr : s.pool.take(e.data.data(), e.data.size());
    {
        InCallback out;  // other threads may get in while the callback runs
        cb(type ? reinterpret_cast<const char *>(type->p) : nullptr, data ? data->p : nullptr, e.len);
    }
    if (type) s.pool.retire(type);
    if (data) s.pool.retire(data);
}

void EventLoop::reset() {
    // running_ survives: a reset from inside the callback must not let a
    // nested vyi_run start a second loop.
    queue_.clear();
    periodic_.reset();
    user_timers_.clear();
    next_timer_id_ = 1;
    clock_ = 0;
    run_until_.reset();
    stop_ = false;
}

void EventLoop::set_run_until(long long t) {
    if (t < 0)
        run_until_.reset();
    else
        run_until_ = t;
}

void EventLoop::set_periodic(int interval) {
    if (interval <= 0)
        periodic_.reset();
    else
        periodic_ = Timer{clock_ + interval, interval};
}

int EventLoop::add_user_timer(int period, int start_delay) {
    int id = next_timer_id_++;
    user_timers_[id] = Timer{clock_ + std::max(start_delay, 0), period};
    return id;
}

int EventLoop::earliest_timer() const {
    int best = -1;
    long long when = 0;
    if (periodic_) {
        best = kPeriodic;
        when = periodic_->next;
    }
    for (const auto &[id, t] : user_timers_) {  // ascending ids: strict < keeps the lower
        if (best < 0 || t.next < when) {
            best = id;
            when = t.next;
        }
    }
    return best;
}

void EventLoop::fire(int id) {
    Timer &t = id == kPeriodic ? *periodic_ : user_timers_.at(id);
    clock_ = std::max(clock_, t.next);
    // Timer state is settled before the callback, which may change timers.
    Event e;
    e.time_ms = clock_;
    if (id == kPeriodic) {
        t.next = clock_ + t.period;
        e.type = "timer";
    } else {
        if (t.period > 0)
            t.next = clock_ + t.period;
        else
            user_timers_.erase(id);
        e.type = "user_timer";
        e.data = std::to_string(id);
        e.len = static_cast<int>(e.data.size());
    }
    deliver(e);
}

void EventLoop::deliver_next_event() {
    Event e = std::move(queue_.front());
    queue_.pop_front();
    clock_ = std::max(clock_, e.time_ms);
    deliver(e);
}

void EventLoop::run() {
    if (running_) return;
    running_ = true;
    while (!stop_) {
        int timer = earliest_timer();
        long long timer_due = 0;
        if (timer >= 0)
            timer_due = std::max(clock_, timer == kPeriodic ? periodic_->next : user_timers_.at(timer).next);
        if (!queue_.empty()) {
            if (timer < 0 || std::max(clock_, queue_.front().time_ms) <= timer_due) {
                deliver_next_event();
                continue;
            }
        } else if (timer < 0 || !run_until_ || timer_due > *run_until_) {
            break;  // out of work: timers alone never keep the run going past run-until
        }
        fire(timer);
    }
    stop_ = false;
    running_ = false;
}

void EventLoop::drain() {
    while (!queue_.empty()) deliver_next_event();
}

}  // namespace standin
