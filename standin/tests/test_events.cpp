// Run loop in simulated time, stop, inline and foreign-thread delivery.
#include <thread>

#include "standin_test.h"

using Trace = std::vector<std::string>;

TEST_F(StandIn, EventsAndTimersInSimulatedTime) {
    vyi_set_event_callback_pb(record_event);
    vys_push_event(10, "a", "1", 1);
    vys_push_event(30, "b", "", 0);
    vys_push_event(5, "late", nullptr, 0);  // stamped before the clock: delivered at it
    vyi_set_timer(10);
    EXPECT_EQ(vyi_run(), 0);
    // Events win ties; with no run-until, timers stop with the queue.
    EXPECT_EQ(trace(), (Trace{"a@10", "timer@10", "timer@20", "b@30", "late@30"}));
    EXPECT_EQ(vys_clock(), 30);

    g_seen.clear();
    vyi_set_timer(0);
    EXPECT_EQ(vyi_user_timer(25, 5), 1);
    EXPECT_EQ(vyi_user_timer(0, 10), 2);  // no period: fires once
    vys_set_run_until(60);
    vyi_run();
    EXPECT_EQ(trace(), (Trace{"user_timer@35", "user_timer@40", "user_timer@60"}));
    EXPECT_EQ(g_seen[0].data, "1");
    EXPECT_EQ(g_seen[1].data, "2");

    g_seen.clear();
    vyi_set_timer(7);
    g_on_event = [](const Seen &s) {
        if (s.clock >= 74) vyi_user_timer_stop(1);
    };
    vys_set_run_until(100);
    vyi_run();
    EXPECT_EQ(trace(), (Trace{"timer@67", "timer@74", "timer@81", "timer@88", "timer@95"}));
}

TEST_F(StandIn, StopFromInsideTheCallback) {
    vyi_set_event_callback_pb(record_event);
    for (const char *t : {"a", "b", "c"}) vys_push_event(0, t, nullptr, 0);
    g_on_event = [](const Seen &s) {
        if (*s.type == "b") vyi_stop();
    };
    vys_set_status("vyi_run", 4);
    EXPECT_EQ(vyi_run(), 4);
    EXPECT_EQ(trace(), (Trace{"a@0", "b@0"}));
    EXPECT_EQ(vys_pending_events(), 1);
    EXPECT_EQ(vyi_run(), 4);  // the stop was cleared
    EXPECT_EQ(vys_pending_events(), 0);
}

TEST_F(StandIn, NestedCallsAreJournaledAndNestedRunReturnsAtOnce) {
    vyi_set_event_callback_pb(record_event);
    vys_push_event(0, "a", nullptr, 0);
    vys_push_event(0, "b", nullptr, 0);
    vys_set_status("vyi_run", 6);
    g_on_event = [](const Seen &s) {
        int pending = vys_pending_events();
        EXPECT_EQ(vyi_run(), 6);
        EXPECT_EQ(vys_pending_events(), pending) << "nested run delivered " << *s.type;
    };
    vyi_run();
    EXPECT_EQ(trace(), (Trace{"a@0", "b@0"}));
    auto j = journal();
    ASSERT_EQ(j.size(), 4u);
    EXPECT_NE(j[1].find("\"vyi_run\""), std::string::npos);
    EXPECT_NE(j[2].find("\"vyi_run\""), std::string::npos);
}

TEST_F(StandIn, PayloadIsScribbledAfterTheCallbackAndContractBreakingEventsPassAsGiven) {
    static const unsigned char *kept = nullptr;
    static std::string during;
    vyi_set_event_callback_pb([](const char *, void *data, int len) {
        kept = static_cast<const unsigned char *>(data);
        vyi_init();  // a nested call does not expire the payload
        during.assign(static_cast<const char *>(data), len);
    });
    vys_push_event(0, "t", "xyz", 3);
    vyi_run();
    EXPECT_EQ(during, "xyz");
    EXPECT_EQ(kept[0], 0xA5);

    vyi_set_event_callback_pb(record_event);
    vys_push_event(0, nullptr, nullptr, 5);
    vys_push_event(0, "neg", "abc", -4);
    vyi_run();
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_FALSE(g_seen[0].type);
    EXPECT_FALSE(g_seen[0].data);
    EXPECT_EQ(g_seen[0].len, 5);
    EXPECT_EQ(g_seen[1].data, "");
    EXPECT_EQ(g_seen[1].len, -4);

    vyi_set_event_callback_pb(nullptr);  // no callback: dropped
    vys_push_event(0, "lost", nullptr, 0);
    vyi_run();
    EXPECT_EQ(vys_pending_events(), 0);
    EXPECT_EQ(g_seen.size(), 2u);
}

TEST_F(StandIn, InlineDeliveryHappensInsideTheNamedCall) {
    vyi_set_event_callback_pb(record_event);
    vys_set_response("vyi_get_orders_pb", "ok", 2);
    vys_push_event(40, "a", nullptr, 0);
    g_on_event = [](const Seen &) { EXPECT_NE(vyi_get_c_version(), nullptr); };
    vys_deliver_inline("vyi_get_orders_pb");
    vyi_init();
    EXPECT_TRUE(g_seen.empty());
    void *res = nullptr;
    int len = 0;
    vyi_get_orders_pb(nullptr, 0, &res, &len);
    EXPECT_EQ(trace(), Trace{"a@40"});
    // The response outlives the nested calls made while delivering.
    EXPECT_EQ(std::string(static_cast<char *>(res), len), "ok");
    auto j = journal();
    ASSERT_EQ(j.size(), 4u);
    EXPECT_NE(j[2].find("vyi_get_orders_pb"), std::string::npos);
    EXPECT_NE(j[3].find("vyi_get_c_version"), std::string::npos);
    vys_push_event(0, "b", nullptr, 0);
    vyi_get_orders_pb(nullptr, 0, &res, &len);  // once only
    EXPECT_EQ(vys_pending_events(), 1);
}

TEST_F(StandIn, ForeignThreadDelivery) {
    static std::thread::id seen_on;
    static std::string payload;
    vyi_set_event_callback_pb([](const char *type, void *data, int len) {
        seen_on = std::this_thread::get_id();
        payload = std::string(type) + ":" + std::string(static_cast<char *>(data), len);
    });
    vys_deliver_from_thread("tick", "p\0q", 3);
    EXPECT_NE(seen_on, std::this_thread::get_id());
    EXPECT_EQ(payload, std::string("tick:p\0q", 8));
}
