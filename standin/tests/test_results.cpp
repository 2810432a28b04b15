// Programmed results, their defaults, and the lifetime of handed-out buffers.
#include <cstring>

#include "standin_test.h"

namespace {

std::string text_or_null(const char *s) { return s ? s : "(null)"; }

}  // namespace

TEST_F(StandIn, DefaultsSucceed) {
    char *addr = nullptr;
    EXPECT_EQ(vyi_init(), 0);
    EXPECT_EQ(vyi_get_serv_addr("x", &addr), 0);
    EXPECT_EQ(text_or_null(addr), "127.0.0.1:7001");
    EXPECT_EQ(vyi_now(), 1700000000000LL);
    EXPECT_EQ(vyi_now_plus(), 1700000000.5);
    EXPECT_EQ(text_or_null(vyi_strerror(-7)), "stand-in error -7");
    EXPECT_EQ(text_or_null(vyi_get_c_version()), "stand-in 1.0");
    EXPECT_EQ(text_or_null(vyi_get_orgcode()), "stand-in get_orgcode");
    EXPECT_EQ(vyi_user_timer(10, 0), 1);
    EXPECT_EQ(vyi_user_timer(10, 0), 2);
}

TEST_F(StandIn, ProgrammedResults) {
    vys_set_status("vyi_init", -3);
    vys_set_longlong("vyi_now", -42);
    vys_set_double("vyi_now_plus", 0.25);
    vys_set_text("vyi_strerror", "boom");
    vys_set_text("vyi_get_c_version", nullptr);
    vys_set_text("vyi_get_serv_addr", nullptr);
    vys_set_status("vyi_user_timer", -9);
    char *addr = const_cast<char *>("untouched");
    EXPECT_EQ(vyi_init(), -3);
    EXPECT_EQ(vyi_now(), -42);
    EXPECT_EQ(vyi_now_plus(), 0.25);
    EXPECT_EQ(text_or_null(vyi_strerror(1)), "boom");
    EXPECT_EQ(vyi_get_c_version(), nullptr);
    EXPECT_EQ(vyi_get_serv_addr("x", &addr), 0);
    EXPECT_EQ(addr, nullptr);
    EXPECT_EQ(vyi_user_timer(10, 0), -9);
    vys_reset();
    EXPECT_EQ(vyi_init(), 0);
}

TEST_F(StandIn, UnknownNameIsReported) {
    vys_set_status("vyi_no_such", 1);
    EXPECT_STREQ(vys_last_error(), "unknown SDK function: vyi_no_such");
    EXPECT_EQ(vys_is_sdk_function("vyi_no_such"), 0);
    EXPECT_EQ(vys_is_sdk_function("stk_get_ration"), 1);
}

TEST_F(StandIn, ResponseIsAlwaysFilled) {
    struct Case {
        std::function<void()> program;
        int status;
        bool null;
        int len;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {[] {}, 0, false, 0, ""},
        {[] { vys_set_response("vyi_get_cash_pb", "x\0y", 3); }, 0, false, 3, std::string("x\0y", 3)},
        {[] { vys_set_status("vyi_get_cash_pb", 5); }, 5, false, 3, std::string("x\0y", 3)},
        {[] { vys_set_response_raw("vyi_get_cash_pb", 1, 7); }, 5, true, 7, ""},
        {[] { vys_set_response_raw("vyi_get_cash_pb", 0, -2); }, 5, false, -2, ""},
        {[] { vys_set_response_raw("vyi_get_cash_pb", 0, 2); }, 5, false, 2, "\xa5\xa5"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        c.program();
        void *res = reinterpret_cast<void *>(1);
        int len = 12345;
        EXPECT_EQ(vyi_get_cash_pb(nullptr, 0, &res, &len), c.status) << i;
        EXPECT_EQ(res == nullptr, c.null) << i;
        EXPECT_EQ(len, c.len) << i;
        if (res && len > 0) {
            EXPECT_EQ(std::string(static_cast<char *>(res), len), c.bytes) << i;
        }
    }
    // Not just queries: every (res, res_len) pair.
    vys_set_response("vyi_current_pb", "ab", 2);
    void *res = nullptr;
    int len = 0;
    vyi_current_pb("s", false, "f", &res, &len);
    EXPECT_EQ(std::string(static_cast<char *>(res), len), "ab");
}

TEST_F(StandIn, StaleBuffersAreScribbledOnTheNextCall) {
    vys_set_response("vyi_get_orders_pb", "abcd", 4);
    void *res = nullptr;
    int len = 0;
    vyi_get_orders_pb(nullptr, 0, &res, &len);
    const char *text = vyi_get_c_version();
    const auto *bytes = static_cast<const unsigned char *>(res);
    EXPECT_EQ(bytes[0], 0xA5);  // the text call expired the response
    EXPECT_STREQ(text, "stand-in 1.0");
    vys_journal_count();  // control calls leave buffers alone
    EXPECT_STREQ(text, "stand-in 1.0");
    vyi_init();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes[i], 0xA5) << i;
    EXPECT_EQ(std::strlen(text), std::strlen("stand-in 1.0"));  // NUL kept
    EXPECT_EQ(static_cast<unsigned char>(text[0]), 0xA5);
}

TEST_F(StandIn, ResetClearsEverything) {
    vys_set_status("vyi_init", 1);
    vyi_set_event_callback_pb(record_event);
    vys_push_event(5, "a", nullptr, 0);
    vyi_run();
    vyi_set_timer(10);
    vyi_user_timer(10, 0);
    vys_set_run_until(100);
    vys_deliver_inline("vyi_poll");
    vys_push_event(0, "stale", nullptr, 0);
    vys_reset();
    EXPECT_EQ(vys_journal_count(), 0);
    EXPECT_EQ(vys_clock(), 0);
    EXPECT_EQ(vyi_init(), 0);
    vys_push_event(0, "b", nullptr, 0);
    vyi_poll();
    EXPECT_EQ(vys_pending_events(), 1);  // no inline delivery left
    vys_set_run_until(100);
    vyi_run();
    EXPECT_EQ(vys_clock(), 0);  // no timers left to advance it
    EXPECT_EQ(g_seen.size(), 1u);  // the callback is gone too
    EXPECT_EQ(vyi_user_timer(1, 1), 1);
}
