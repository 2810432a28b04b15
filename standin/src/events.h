// events.h - the event queue, timers and the run loop in simulated time.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>

namespace standin {

struct Event {
    long long time_ms = 0;
    bool type_null = false;
    std::string type;
    bool data_null = false;
    std::string data;  // max(len, 0) bytes, empty when data_null
    int len = 0;       // passed to the callback as given, even if negative
};

Event make_event(long long time_ms, const char *type, const void *data, int len);

// Hands an event to the registered callback; dropped when there is none.
// The type and payload buffers are scribbled as soon as the callback returns.
void deliver(const Event &e);

class EventLoop {
public:
    void reset();

    void push(Event e) { queue_.push_back(std::move(e)); }
    std::size_t pending() const { return queue_.size(); }
    long long clock() const { return clock_; }
    void set_run_until(long long t);
    void request_stop() { stop_ = true; }

    void set_periodic(int interval);
    int add_user_timer(int period, int start_delay);
    void stop_user_timer(int id) { user_timers_.erase(id); }

    // Delivers queued events and due timers until stopped or out of work.
    // A nested call (from inside the callback) returns at once.
    void run();
    // Delivers everything queued, now; timers are left alone.
    void drain();

private:
    struct Timer {
        long long next = 0;
        long long period = 0;  // <= 0: fires once
    };
    static constexpr int kPeriodic = 0;  // id of the vyi_set_timer timer

    // Id of the timer due first, or -1; the periodic timer wins ties, then lower ids.
    int earliest_timer() const;
    void fire(int id);
    void deliver_next_event();

    std::deque<Event> queue_;
    std::optional<Timer> periodic_;
    std::map<int, Timer> user_timers_;
    int next_timer_id_ = 1;
    long long clock_ = 0;
    std::optional<long long> run_until_;
    bool stop_ = false;
    bool running_ = false;
};

}  // namespace standin
